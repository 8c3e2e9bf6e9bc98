#pragma once
// Reads standard-input lines with a bound on memory: a line is always read to its
// end, but only its first kMaxKept bytes are kept, enough to tell a line of the
// maximum length (plus a carriage return) from a longer one.

#include <cstddef>
#include <string>

namespace zentcap {

// The longest line decoded, terminator excluded.
inline constexpr size_t kMaxLineBytes = 4096;

struct Line {
    std::string text;     // without LF or CRLF; empty when tooLong
    bool tooLong = false; // the line had more than kMaxLineBytes bytes
};

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Blocks for the next line. A last line without terminator counts; false at end of
    // input (a read error counts as end of input).
    bool next(Line& line);

private:
    // Room for the longest line and one byte more, which may be the carriage return
    // of CRLF; only a line longer than this must be cut.
    static constexpr size_t kMaxKept = kMaxLineBytes + 1;

    bool fill();

    int fd_;
    char buffer_[4096];
    size_t start_ = 0, end_ = 0;
    bool atEnd_ = false;
};

}  // namespace zentcap
