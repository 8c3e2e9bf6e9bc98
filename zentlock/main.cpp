// zentlock: blocks the local keyboard and mouse while the host asks for it.
// Commands on standard input, status lines on standard output; no arguments.
#include "zentlock/programa.h"

int main() { zentlock::ejecutar(); }
