// Conferences side by side: each with its sender and a stream of endstations one after another.
#include <atomic>
#include <memory>
#include <thread>

#include "bench.h"

namespace bench {

bool run_concurrent(int conferences, int each, double* per_s) {
    std::vector<std::unique_ptr<harness::CallerParty>> senders;
    for (int c = 0; c < conferences; ++c) {
        senders.emplace_back(new harness::CallerParty);
        if (!start_sender(*senders.back(), "cc" + std::to_string(c))) return false;
    }
    const long base = book().completed();
    const long total = static_cast<long>(conferences) * each;
    std::atomic<int> failures{0};
    std::vector<std::thread> streams;
    const Clock::time_point first = Clock::now();
    for (int c = 0; c < conferences; ++c) {
        streams.emplace_back([&failures, c, each] {
            const std::string conference = "cc" + std::to_string(c);
            for (int i = 0; i < each; ++i) {
                if (!harness::rendezvous(conference, kKey, kRoundLimit)) {
                    ++failures;
                    return;
                }
            }
        });
    }
    for (std::thread& stream : streams) stream.join();
    bool ok = failures.load() == 0 && book().wait_completed(base + total, kRoundLimit);
    const double elapsed = std::chrono::duration<double>(Clock::now() - first).count();
    if (!ok)
        note("concurrent: " + std::to_string(book().completed() - base) + " of " + std::to_string(total) +
             " rendezvous completed, " + std::to_string(failures.load()) + " streams stopped on one that did not; given up");
    *per_s = ok && elapsed > 0 ? total / elapsed : 0.0;
    return ok;
}

}  // namespace bench
