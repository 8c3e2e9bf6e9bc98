// Asks the sound server for microphone access from a process of its own, so that a
// test can run it as another user (whom the server does not know).
//
//   sound_child   prints the authorization status ("notDetermined", "restricted",
//                 "denied" or "authorized") and then the answer to a request
//                 ("granted" or "refused"), one per line

#include <cstdio>
#include <future>

#include "platform/audio_capture.h"

int main() {
    static const char* const names[] = {"notDetermined", "restricted", "denied", "authorized"};
    std::printf("%s\n", names[static_cast<int>(platform::microphoneAuthorizationStatus())]);
    std::promise<bool> answer;
    platform::requestMicrophoneAccess([&answer](bool granted) { answer.set_value(granted); });
    std::printf("%s\n", answer.get_future().get() ? "granted" : "refused");
    std::fflush(stdout);
    std::_Exit(0);
}
