// A crowd that joins one conference at once: the pool has far fewer ports than the crowd has
// endstations, so the coordinator sets approvals aside until ports come back.
#include <memory>

#include "bench.h"
#include "protocol/phrase.h"

namespace bench {

bool run_fanout(int count, milliseconds limit, double* ms) {
    harness::CallerParty sender;
    if (!start_sender(sender, "fan")) return false;
    const long base = book().completed();
    std::vector<std::unique_ptr<harness::CallerParty>> crowd;
    const Clock::time_point first = Clock::now();
    for (int i = 0; i < count; ++i) {
        crowd.emplace_back(new harness::CallerParty);
        crowd.back()->run(ROLE_ENDSTATION, "e" + std::to_string(i), "fan", kKey);
    }
    const bool ok = book().wait_completed(base + count, limit);
    *ms = std::chrono::duration<double, std::milli>(Clock::now() - first).count();
    if (!ok)
        note("fanout: " + std::to_string(book().completed() - base) + " of " + std::to_string(count) +
             " bridged within " + std::to_string(limit.count()) + " ms; given up");
    // Their loops end on "Adios "; those that did not are stopped as they go.
    for (auto& endstation : crowd) endstation->wait_ended(ok ? kRoundLimit : milliseconds(0));
    return ok;
}

}  // namespace bench
