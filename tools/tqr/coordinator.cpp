// `tqr coordinator`: serves senders and endstations on the coordinator port until SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/portmanager.h"
#include "tools/tqr/commands.h"
#include "tools/tqr/coordinator_server.h"
#include "tools/tqr/party.h"

namespace tqr {

namespace {

// Every party holds a socket, so the soft limit (often 1024) would cap the parties served at once.
void raise_descriptor_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace

int run_coordinator(const CoordinatorOptions& options) {
    raise_descriptor_limit();
    zel_set_quiet(options.quiet ? 1 : 0);
    if (!options.log.empty()) {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.open(options.log, std::ios::out | std::ios::app);
        if (!g_logmsg.is_open()) {
            fprintf(stderr, "tqr coordinator: cannot open log file %s\n", options.log.c_str());
            return EXIT_USAGE_OR_IO;
        }
    }

    // Blocked before any thread starts, so every thread inherits the mask and only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    zel_env_set_default("TQR_MAX_PARTIES", "4096");
    int max_parties = zel_env_get_int("TQR_MAX_PARTIES");
    int port = g_portmanager.coord_port();
    CoordinatorServer server;
    if (!server.start(port, max_parties)) {
        fprintf(stderr, "tqr coordinator: cannot listen on port %d (is another coordinator running?)\n", port);
        return EXIT_USAGE_OR_IO;
    }
    if (!options.quiet) {
        fprintf(stderr, "tqr coordinator: listening on port %d, lending ports %d-%d, at most %d parties\n", port,
                port + 1, g_portmanager.top_port(), max_parties);
    }

    int received = 0;
    while (sigwait(&stop_signals, &received) != 0) {
    }
    if (!options.quiet) fprintf(stderr, "tqr coordinator: stopping (signal %d)\n", received);
    server.stop();
    // Conference threads never end; leaving now spares static destructors from racing them.
    finish(EXIT_DONE);
}

}  // namespace tqr
