// Line framing of the control channel: LF and CRLF, a last line without terminator,
// and the 4096-byte limit without holding a long line in memory.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "zentcap/line_reader.h"

namespace zentcap {
namespace {

// Everything the reader yields for `input`, fed through a pipe by another thread in
// chunks of `chunk` bytes; "<largo>" stands for a line that was too long.
std::vector<std::string> linesOf(const std::string& input, size_t chunk = 4096) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < input.size(); at += chunk) {
            size_t n = std::min(chunk, input.size() - at);
            EXPECT_EQ(::write(fds[1], input.data() + at, n), static_cast<ssize_t>(n));
        }
        ::close(fds[1]);
    });
    std::vector<std::string> lines;
    LineReader reader(fds[0]);
    Line line;
    while (reader.next(line)) lines.push_back(line.tooLong ? "<largo>" : line.text);
    writer.join();
    ::close(fds[0]);
    return lines;
}

using Lines = std::vector<std::string>;

TEST(LineReader, SplitsOnLineFeedAndDropsCarriageReturnBeforeIt) {
    EXPECT_EQ(linesOf("a\nb\r\n\nc\r\r\n"), (Lines{"a", "b", "", "c\r"}));
    EXPECT_EQ(linesOf("a\r\nb", 1), (Lines{"a", "b"}));
}

TEST(LineReader, LastLineWithoutTerminatorCounts) {
    EXPECT_EQ(linesOf("{\"clave\":true}"), (Lines{"{\"clave\":true}"}));
    EXPECT_EQ(linesOf("x\ny"), (Lines{"x", "y"}));
    EXPECT_EQ(linesOf(""), Lines{});
    EXPECT_EQ(linesOf("\n"), (Lines{""}));
}

TEST(LineReader, FourThousandNinetySixBytesIsTheLimit) {
    std::string limit(4096, 'a'), over(4097, 'b');
    EXPECT_EQ(linesOf(limit + "\n" + over + "\nok\n"), (Lines{limit, "<largo>", "ok"}));
    EXPECT_EQ(linesOf(limit + "\r\n" + over + "\r\n"), (Lines{limit, "<largo>"}));
    EXPECT_EQ(linesOf(over), (Lines{"<largo>"}));
    EXPECT_EQ(linesOf(limit), (Lines{limit}));
    // A carriage return inside a long line is not a terminator.
    EXPECT_EQ(linesOf(limit + "\rz\n"), (Lines{"<largo>"}));
}

TEST(LineReader, HugeLineIsReadToItsEndAndTheNextLineSurvives) {
    std::string huge(8 * 1024 * 1024, '{');
    EXPECT_EQ(linesOf(huge + "\n{\"clave\":true}\n", 65536), (Lines{"<largo>", "{\"clave\":true}"}));
}

TEST(LineReader, NonBlockingInputIsWaitedFor) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK), 0);
    std::thread writer([&] {
        std::this_thread::yield();
        EXPECT_EQ(::write(fds[1], "uno\n", 4), 4);
        ::close(fds[1]);
    });
    LineReader reader(fds[0]);
    Line line;
    ASSERT_TRUE(reader.next(line));
    EXPECT_EQ(line.text, "uno");
    EXPECT_FALSE(reader.next(line));
    writer.join();
    ::close(fds[0]);
}

}  // namespace
}  // namespace zentcap
