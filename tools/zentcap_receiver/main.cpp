// zentcap_receiver: reads a zentcap stream the way a host would and checks it.
#include <csignal>
#include <iostream>

#include "tools/zentcap_receiver/receiver.h"

int main(int argc, char** argv) {
    // A closed statistics reader must not kill the check half way.
    std::signal(SIGPIPE, SIG_IGN);
    auto parsed = zentrecv::parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (parsed.help) {
        std::cout << zentrecv::kUsage;
        return 0;
    }
    if (!parsed.options) {
        std::cerr << "zentcap_receiver: " << parsed.error << "\n" << zentrecv::kUsage;
        return 2;
    }
    return zentrecv::runReceiver(*parsed.options);
}
