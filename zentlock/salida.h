#pragma once
// Standard output of the blocker: each line goes out in one write(2), so a reader never
// sees half a line. A failed write (the host has gone away) is ignored on purpose: the
// blocker keeps serving standard input, where end of input will end it.

#include <string_view>

namespace zentlock {

void escribirLinea(int fd, std::string_view linea);

}  // namespace zentlock
