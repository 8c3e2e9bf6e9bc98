#pragma once
// Writes that never wait long, whatever the descriptor's blocking mode: a reader that
// stops reading a pipe must not be able to stall the writer, which may have work that
// cannot wait (a signal to answer, a safety exit to notice).

#include <chrono>
#include <cstddef>
#include <string_view>

namespace platform {

// Writes as much of `bytes` to `fd` as it can within `limit` and returns how many
// bytes went out. Waits for room with poll(2) and writes at most PIPE_BUF bytes at a
// time, so a blocking pipe with room takes each piece without blocking; a piece of
// PIPE_BUF bytes or less is never split. Callers in one process are served one at a
// time (so one writer cannot take the room another waited for), and a caller that
// cannot get its turn within `limit` writes nothing. Failed writes end the attempt.
// Any thread.
size_t writeWithin(int fd, std::string_view bytes, std::chrono::milliseconds limit);

}  // namespace platform
