// The machine's floor: the socket work of one rendezvous done without the library (floor_bench.cpp),
// and the measuring tools that the floor and the rendezvous benchmark share. Knows nothing of the
// library, so that zel_bench_floor can be built without it.
#ifndef ZEL_BENCH_FLOOR_H
#define ZEL_BENCH_FLOOR_H

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace zel_floor {

// CPU time and context switches of the whole process: every thread, finished ones included.
struct Usage {
    double cpu_us = 0;
    long switches = 0;  // voluntary (a thread blocked) and involuntary (it was preempted)

    static Usage now() {
        rusage r{};
        getrusage(RUSAGE_SELF, &r);
        Usage u;
        u.cpu_us = static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e6 +
                   static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
        u.switches = r.ru_nvcsw + r.ru_nivcsw;
        return u;
    }
};

// The value below which `fraction` of `values` lie (nearest rank); 0 for none.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::min(std::max<size_t>(rank, 1), values.size()) - 1];
}

struct FloorRun {
    std::vector<double> latency_us;  // of the measured rounds
    double per_s = 0;                // measured rounds per second
    double cpu_us = 0;               // per round, warm-up included
    double switches = 0;             // per round, warm-up included
};

// `warmup` then `rounds` rounds with two threads: A holds the coordinator's ends and the sender's end
// of the direct link, B the endstation and the sender's link to the coordinator, so that every hop is
// one thread wake-up. The coordinator listens on 127.0.0.1:coord_port, the direct links on the
// `pool_size` ports from `pool_base`. false with `error` set when a round failed.
bool two_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds, FloorRun* out,
                std::string* error);

}  // namespace zel_floor

#endif
