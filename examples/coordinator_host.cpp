// A coordinator host of the TQR library, in one file: it serves senders and endstations on the
// configured coordinator port with the configured limits, tells each rendezvous on stdout, and on
// SIGINT or SIGTERM stops as a service does: the port closes, rendezvous under way may finish for
// TQR_DRAIN_SECONDS (a second signal cuts that short), every party's link ends, and main returns.
//
//   coordinator_host      (settings: TQR_COORDINATOR_PORT, TQR_MAX_PARTIES, TQR_DRAIN_SECONDS, ...)
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "common/zel_common.h"
#include "protocol/coordinator_host.h"
#include "protocol/host.h"
#include "protocol/party_events.h"
#include "protocol/settings.h"

namespace {

// Runs on the library thread that ended the rendezvous. Conferences and nicknames are the parties'
// own bytes: shown printable.
void tell_rendezvous(const zel::PartyEvent& event, void* out) {
    if (event.kind != zel::EVENT_RENDEZVOUS_ENDED) return;
    fprintf(static_cast<FILE*>(out), "rendezvous conference=%s nickname=%s outcome=%s ms=%.1f\n",
            zel::printable(event.conference).c_str(), zel::printable(event.nickname).c_str(), event.what, event.ms);
    fflush(static_cast<FILE*>(out));
}

void tell_counts(const char* when, const zel::CoordinatorCounts& c) {
    fprintf(stderr,
            "coordinator_host: %s: parties=%ld conferences=%zu served=%ld refused=%ld refused_sources=%ld "
            "rejected_senders=%ld ports_free=%zu ports_lent=%zu\n",
            when, c.parties, c.conferences, c.served, c.refused, c.refused_sources, c.rejected_senders, c.ports.free,
            c.ports.lent + c.ports.reserved);
}

}  // namespace

int main() {
    // Blocked before any thread starts, so that every thread inherits the mask and only sigwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    // The library's own diagnostic lines are silenced: this host tells what it serves itself.
    zel::set_quiet(1);
    zel::set_party_observer(tell_rendezvous, stdout);
    const zel::Settings& settings = zel::settings();
    int result = 0;
    {
        zel::CoordinatorHost coordinator;
        if (!coordinator.start(settings.coordinator_port, zel::AdmissionLimits::from_settings())) {
            fprintf(stderr, "coordinator_host: cannot listen on port %d\n", settings.coordinator_port);
            result = 1;
        } else {
            zel::CoordinatorCounts at_start = coordinator.counts();
            fprintf(stderr, "coordinator_host: listening port=%d pool=%d-%d max_parties=%ld max_per_source=%ld\n",
                    at_start.coordinator_port, at_start.coordinator_port + 1, at_start.top_port, at_start.max_parties,
                    at_start.max_per_source);
            int received = 0;
            sigwait(&stop_signals, &received);
            coordinator.stop_accepting();
            tell_counts("stopping", coordinator.counts());
            // A second signal cuts the drain short; after the drain, one of our own ends the waiter.
            std::thread second([&] {
                int again = 0;
                sigwait(&stop_signals, &again);
                coordinator.cut_drain();
            });
            bool drained = coordinator.drain(settings.drain_seconds);
            pthread_kill(second.native_handle(), SIGTERM);
            second.join();
            coordinator.stop();
            tell_counts(drained ? "stopped drained=yes" : "stopped drained=no", coordinator.counts());
        }
    }
    // No thread of the library is left once this returns.
    zel::shutdown();
    return result;
}
