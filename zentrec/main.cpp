// zentrec: lists microphones, meters one, records a display with its sound into an MP4
// file, or streams the system sound as Opus packets.

#include <signal.h>

#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "zentrec/modos.h"
#include "zentrec/salida.h"

int main(int argc, char** argv) {
    zentrec::salidaLock();
    // A host that goes away shows up as failed writes, not as a killed recorder.
    ::signal(SIGPIPE, SIG_IGN);
    // A file-size limit must show up as a failed write of the recording, which the
    // recorder reports, not as a killed process.
    ::signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string> args(argv, argv + argc);
    if (auto estado = zentrec::ejecutar(args)) zentrec::salir(*estado);
    platform::dispatch::dispatchMain();
}
