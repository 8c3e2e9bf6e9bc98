#include "zentcap/line_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zentcap {

bool LineReader::fill() {
    for (;;) {
        ssize_t n = ::read(fd_, buffer_, sizeof buffer_);
        if (n > 0) {
            start_ = 0;
            end_ = static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // Standard input may share its open file with standard output, which is
            // made non-blocking: wait for data instead of taking this as the end.
            pollfd readable{fd_, POLLIN, 0};
            ::poll(&readable, 1, -1);
            continue;
        }
        atEnd_ = true;
        return false;
    }
}

bool LineReader::next(Line& line) {
    line.text.clear();
    line.tooLong = false;
    bool overflow = false;
    bool any = false;
    for (;;) {
        if (start_ == end_ && (atEnd_ || !fill())) {
            if (!any) return false;
            break;  // a last line without terminator
        }
        any = true;
        const char* begin = buffer_ + start_;
        size_t available = end_ - start_;
        const void* newline = std::memchr(begin, '\n', available);
        size_t take = newline ? static_cast<size_t>(static_cast<const char*>(newline) - begin) : available;
        size_t room = kMaxKept - line.text.size();
        if (take > room) overflow = true;
        line.text.append(begin, take < room ? take : room);
        start_ += take;
        if (newline) {
            ++start_;  // the line feed
            if (!line.text.empty() && line.text.back() == '\r' && !overflow) line.text.pop_back();
            break;
        }
    }
    if (overflow || line.text.size() > kMaxLineBytes) {
        line.text.clear();
        line.tooLong = true;
    }
    return true;
}

}  // namespace zentcap
