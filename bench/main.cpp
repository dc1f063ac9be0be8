// zel_bench_rendezvous [--quick] [--rounds=N] [--phases=floor,sequential,concurrent,fanout,idle]
//
// Prints figures only, one name=value a line, and "# " notes; bench/README.md says what each means
// and what it is held to. The library reads its ports once, when it is loaded: without
// TQR_COORDINATOR_PORT the binary sets 28000 and 28020 and runs itself again.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "bench.h"
#include "common/zel_common.h"

namespace {

using namespace bench;

struct Options {
    int rounds = 2000;
    int warmup = 100;
    int conferences = 20;
    int per_conference = 100;
    int fanout = 200;
    int idle_cap = 0;  // 0: as many as the machine allows
    int beside_rounds = 1000;
    std::set<std::string> phases{"floor", "sequential", "concurrent", "fanout", "idle"};
    bool wants(const char* phase) const { return phases.count(phase) > 0; }
};

bool parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            options->rounds = options->beside_rounds = 200;
            options->per_conference = 10;
            options->idle_cap = 1000;
        } else if (arg.compare(0, 9, "--rounds=") == 0 && atoi(arg.c_str() + 9) > 0) {
            options->rounds = options->beside_rounds = atoi(arg.c_str() + 9);
        } else if (arg.compare(0, 9, "--phases=") == 0) {
            options->phases.clear();
            std::stringstream list(arg.substr(9));
            for (std::string phase; std::getline(list, phase, ',');) options->phases.insert(phase);
        } else {
            fprintf(stderr, "usage: %s [--quick] [--rounds=N] [--phases=floor,sequential,concurrent,fanout,idle]\n", argv[0]);
            return false;
        }
    }
    return true;
}

// Gives a phase up when it overruns its time, whatever it waits for: the run ends with a line saying
// so instead of hanging.
class PhaseGuard {
public:
    PhaseGuard(const std::string& phase, std::chrono::seconds limit)
        : m_thread([this, phase, limit] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (m_changed.wait_for(lock, limit, [&] { return m_done; })) return;
              note(phase + ": still running after " + std::to_string(limit.count()) + " s; given up, and the run with it");
              _exit(3);
          }) {}
    ~PhaseGuard() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;
    std::thread m_thread;
};

std::chrono::seconds rounds_limit(int rounds) { return std::chrono::seconds(120 + rounds / 50); }

void floor_figures(const zel_floor::FloorRun& run) {
    figure("floor_two_thread_us", percentile(run.latency_us, 0.5));
    figure("floor_two_thread_us_p99", percentile(run.latency_us, 0.99));
    figure("floor_two_thread_per_s", run.per_s, 0);
    figure("floor_two_thread_cpu_us", run.cpu_us);
    figure("floor_two_thread_switches", run.switches);
}

// The sequential phase's latencies and rate, with its CPU time and switches per rendezvous.
void rendezvous_figures(const Sequential& run, double cpu_us, double switches) {
    figure("rendezvous_cpu_us", cpu_us);
    figure("rendezvous_switches", switches);
    figure("rendezvous_us_median", percentile(run.latency_us, 0.5));
    figure("rendezvous_us_p99", percentile(run.latency_us, 0.99));
    figure("rendezvous_per_s", run.per_s, 0);
}

void floor_phase(const Options& o) {
    PhaseGuard guard("floor", rounds_limit(o.warmup + o.rounds));
    const int port = harness::pool_top() + 10;
    zel_floor::FloorRun run;
    std::string error;
    if (!zel_floor::two_thread(port, port + 1, 20, o.warmup, o.rounds, &run, &error)) return note("floor: " + error + "; given up");
    floor_figures(run);
}

void sequential_phase(const Options& o) {
    PhaseGuard guard("sequential", rounds_limit(o.warmup + o.rounds));
    harness::CallerParty sender;
    if (!start_sender(sender, "seq")) return;
    const Usage before = Usage::now();
    Sequential run;
    if (!run_sequential("seq", o.warmup, o.rounds, &run)) return;
    const Usage after = Usage::now();
    const int total = o.warmup + o.rounds;
    rendezvous_figures(run, (after.cpu_us - before.cpu_us) / total, static_cast<double>(after.switches - before.switches) / total);
}

// The floor and the sequential phase in turns, a block of each at a time, so that both meet the
// same machine: on a shared VM the floor alone moves by a fifth between runs minutes apart, and a
// ratio of two figures taken minutes apart carries that. The figures are those of the two phases.
void floor_and_sequential_phase(const Options& o) {
    constexpr int kBlocks = 10;
    constexpr int kBlockWarmup = 5;  // a block's new threads and links, in its CPU but not its latencies
    PhaseGuard guard("floor,sequential", rounds_limit(2 * (o.warmup + o.rounds + kBlocks * kBlockWarmup)));
    harness::CallerParty sender;
    if (!start_sender(sender, "seq")) return;
    const int port = harness::pool_top() + 10;
    struct Side {
        std::vector<double> latency_us;
        double cpu_us = 0, elapsed_s = 0;
        long switches = 0;
        int rounds = 0;  // warm-up included
        void add(const std::vector<double>& latency, double per_s, const Usage& before, int total) {
            const Usage after = Usage::now();
            latency_us.insert(latency_us.end(), latency.begin(), latency.end());
            if (per_s > 0) elapsed_s += static_cast<double>(latency.size()) / per_s;
            cpu_us += after.cpu_us - before.cpu_us;
            switches += after.switches - before.switches;
            rounds += total;
        }
    } floor, library;
    for (int b = 0; b < kBlocks; ++b) {
        const int rounds = o.rounds / kBlocks + (b < o.rounds % kBlocks ? 1 : 0);
        const int warmup = b == 0 ? o.warmup : kBlockWarmup;
        Usage before = Usage::now();
        zel_floor::FloorRun run;
        std::string error;
        if (!zel_floor::two_thread(port, port + 1, 20, warmup, rounds, &run, &error)) return note("floor: " + error + "; given up");
        floor.add(run.latency_us, run.per_s, before, warmup + rounds);
        before = Usage::now();
        Sequential seq;
        if (!run_sequential("seq", warmup, rounds, &seq)) return;
        library.add(seq.latency_us, seq.per_s, before, warmup + rounds);
    }
    auto per_s = [](const Side& side) { return side.elapsed_s > 0 ? side.latency_us.size() / side.elapsed_s : 0.0; };
    zel_floor::FloorRun floor_run;
    floor_run.latency_us = floor.latency_us;
    floor_run.per_s = per_s(floor);
    floor_run.cpu_us = floor.cpu_us / floor.rounds;
    floor_run.switches = static_cast<double>(floor.switches) / floor.rounds;
    floor_figures(floor_run);
    Sequential library_run;
    library_run.latency_us = library.latency_us;
    library_run.per_s = per_s(library);
    rendezvous_figures(library_run, library.cpu_us / library.rounds, static_cast<double>(library.switches) / library.rounds);
}

void concurrent_phase(const Options& o) {
    PhaseGuard guard("concurrent", rounds_limit(o.conferences * o.per_conference));
    double per_s = 0;
    if (run_concurrent(o.conferences, o.per_conference, &per_s)) figure("rendezvous_concurrent_per_s", per_s, 0);
}

void fanout_phase(const Options& o) {
    PhaseGuard guard("fanout", std::chrono::seconds(180));
    double ms = 0;
    if (run_fanout(o.fanout, milliseconds(60000), &ms)) figure("fanout_" + std::to_string(o.fanout) + "_ms", ms, 0);
}

void idle_phase(const Options& o, IdleClients& clients) {
    PhaseGuard guard("idle", std::chrono::seconds(900));
    IdleFigures idle;
    bool beside = run_idle(clients, o.idle_cap, o.warmup, o.beside_rounds, &idle);
    figure("idle_parties", idle.parties, 0);
    figure("idle_threads", idle.threads, 0);
    figure("threads_per_idle_party", idle.threads_per_party, 2);
    figure("rss_kib_per_idle_party", idle.rss_kib_per_party);
    if (beside) {
        figure("rendezvous_us_median_with_idle", percentile(idle.beside_us, 0.5));
        figure("rendezvous_us_p99_with_idle", percentile(idle.beside_us, 0.99));
    }
}

// The idle parties cost a descriptor each: the soft limit goes as high as the hard one.
void raise_descriptor_limit() {
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

}  // namespace

int main(int argc, char** argv) {
    if (getenv("TQR_COORDINATOR_PORT") == nullptr) {
        setenv("TQR_COORDINATOR_PORT", "28000", 1);
        setenv("TQR_TOP_PORT", "28020", 1);
        execv("/proc/self/exe", argv);
        perror("zel_bench_rendezvous: cannot run itself again");
        return 1;
    }
    Options options;
    if (!parse(argc, argv, &options)) return 2;
    signal(SIGPIPE, SIG_IGN);
    raise_descriptor_limit();
    zel::set_quiet(1);
    // Forked before this process starts any thread.
    IdleClients clients;
    if (options.wants("idle") && !clients.start()) {
        note("idle: the client process could not be started; the phase is skipped");
        options.phases.erase("idle");
    }
    set_bridge_callback(bridge);
    note("coordinator port " + std::to_string(harness::coordinator_port()) + ", pool up to " +
         std::to_string(harness::pool_top()) + ", floor on " + std::to_string(harness::pool_top() + 10));
    const bool in_turns = options.wants("floor") && options.wants("sequential");
    if (options.wants("floor") && !in_turns) floor_phase(options);
    // Every crowd here is the benchmark's own, from one address: no address is held to a share, and the
    // idle crowd is bounded by the descriptors alone (the raised limit), not by a host's default count.
    AdmissionLimits limits = AdmissionLimits::from_settings();
    limits.max_parties = 0;
    limits.max_per_source = std::numeric_limits<int>::max();
    limits.max_waiting_conferences = std::numeric_limits<int>::max();
    std::unique_ptr<harness::Coordinator> coordinator(new harness::Coordinator(limits));
    if (!coordinator->started) {
        note("cannot listen on the coordinator port " + std::to_string(harness::coordinator_port()));
        return 1;
    }
    if (in_turns) {
        floor_and_sequential_phase(options);
    } else if (options.wants("sequential")) {
        sequential_phase(options);
    }
    if (options.wants("concurrent")) concurrent_phase(options);
    if (options.wants("fanout")) fanout_phase(options);
    if (options.wants("idle")) idle_phase(options, clients);
    PhaseGuard guard("shutdown", std::chrono::seconds(60));
    coordinator.reset();
    book().drop_unpaired();
    return 0;
}
