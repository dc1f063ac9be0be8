// Rendezvous one after another in one conference: the latency of each and the rate of whole ones.
#include "bench.h"

namespace bench {

bool run_sequential(const std::string& conference, int warmup, int rounds, Sequential* out) {
    out->latency_us.clear();
    out->latency_us.reserve(static_cast<size_t>(rounds));
    Clock::time_point first = Clock::now();
    book().pair_in_order(true);
    struct InOrder {
        ~InOrder() { book().pair_in_order(false); }
    } in_order;
    for (int i = 0; i < warmup + rounds; ++i) {
        if (i == warmup) first = Clock::now();
        const long target = book().completed() + 1;
        const Clock::time_point started = Clock::now();
        // The endstation's whole run as a receiving program makes it, on its main thread: through
        // "Adios ", its bridge call and its teardown.
        if (!harness::rendezvous_here(conference, kKey)) {
            note(conference + ": endstation " + std::to_string(i) + " did not finish its rendezvous within " +
                 std::to_string(kRoundLimit.count()) + " ms; given up");
            return false;
        }
        // The sender's end is bridged on its listener thread, which may come last.
        if (!book().wait_completed(target, kRoundLimit)) {
            note(conference + ": rendezvous " + std::to_string(i) + " was not bridged on both ends within " +
                 std::to_string(kRoundLimit.count()) + " ms; given up");
            return false;
        }
        if (i >= warmup) out->latency_us.push_back(micros(book().last_done() - started));
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - first).count();
    out->per_s = elapsed > 0 ? rounds / elapsed : 0.0;
    return true;
}

}  // namespace bench
