// The MP4 writer in a process of its own, for the tests that kill it or limit the
// size of its files.
//
//   writer_child PATH kill    still screen after 0.6 s, sound throughout; prints
//                             "start <host ns>" and then "t <seconds>" as it goes,
//                             until killed (at most 30 s)
//   writer_child PATH limit   noise at a high bit rate under a 300 kB file-size
//                             limit (SIGXFSZ ignored, so writes fail with EFBIG);
//                             prints "failed\t<description>" once the writer
//                             fails, then "finished <status>" after finishWriting

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "tests/linux/writer_media.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string path = argv[1], mode = argv[2];
    const bool limit = mode == "limit";
    if (limit) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit size{300'000, 300'000};
        setrlimit(RLIMIT_FSIZE, &size);
    }
    auto w = writertest::makeWriter(path, limit ? 20'000'000 : 1'000'000);
    if (!w.file || !w.file->startWriting()) {
        std::printf("cannot start\n");
        return 1;
    }
    const int64_t start = static_cast<int64_t>(platform::hostTimeNanos());
    w.file->startSession({start, 1'000'000'000});
    std::printf("start %lld\n", static_cast<long long>(start));
    std::fflush(stdout);

    writertest::Plan plan;
    plan.seconds = limit ? 8 : 30;
    plan.movingUntil = limit ? 8 : 0.6;
    plan.noise = limit;
    plan.progress = [&](double t) {
        if (limit) return w.file->status() != platform::WriterStatus::failed;
        std::printf("t %.3f\n", t);
        std::fflush(stdout);
        return true;
    };
    writertest::feed(w, plan, start);
    if (!limit) return 0;
    auto error = w.file->error();
    if (w.file->status() == platform::WriterStatus::failed)
        std::printf("failed\t%s\n", error ? error->description.c_str() : "");
    std::promise<void> done;
    w.file->finishWriting([&done] { done.set_value(); });
    done.get_future().wait();
    std::printf("finished %d\n", static_cast<int>(w.file->status()));
    std::fflush(stdout);
    std::_Exit(0);
}
