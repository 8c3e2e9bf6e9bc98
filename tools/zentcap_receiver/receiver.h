#pragma once
// Reads a whole zentcap stream as a host would, checks and decodes it, and
// writes what the options ask for. Diagnostics go to standard error, statistics
// to standard output.

#include "tools/zentcap_receiver/receiver_options.h"

namespace zentrecv {

// Exit status: 0 for a valid stream, 1 for an invalid one or a failed output.
int runReceiver(const ReceiverOptions& options);

}  // namespace zentrecv
