// What `tqr coordinator --metrics` serves to a monitoring system: the Prometheus text exposition on
// GET /metrics, and "ok" on GET /healthz.
//
// The counters are fed by the party observer on whatever library thread took the step, each update a
// relaxed atomic add; a scrape reads them and the lock-free glances of the pool, the conference
// registry and the server. So a scrape never holds up a rendezvous, and a rendezvous never waits for a
// scrape. Figures read in one scrape may be a step apart from one another; each is exact.
#ifndef ZEL_TOOLS_TQR_SERVICE_METRICS_H
#define ZEL_TOOLS_TQR_SERVICE_METRICS_H

#include <atomic>
#include <cstddef>
#include <string>
#include <thread>

#include "protocol/party_events.h"

namespace zel {
class CoordinatorHost;
}

namespace tqr {

class Metrics {
public:
    // Upper bounds of the rendezvous duration buckets, in seconds (then +Inf).
    static constexpr int kBuckets = 15;
    static constexpr int kOutcomes = 5;  // the four the library tells, and any other
    static constexpr int kReasons = 11;  // the ten drop rules, and any other

    // Counts an event that ends something: a rendezvous, a dropped party, a turned-away sender, a
    // refused connection. Other events leave the counts as they are.
    void count(const zel::PartyEvent& event);
    // Every family, with the gauges of `server` and of this process's pool and registry.
    std::string exposition(const zel::CoordinatorHost& server) const;

private:
    std::atomic<long> m_outcomes[kOutcomes] = {};
    std::atomic<long> m_reasons[kReasons] = {};
    std::atomic<long> m_refused{0};
    std::atomic<long> m_rejected{0};
    std::atomic<long> m_in_bucket[kBuckets + 1] = {};  // not cumulative: the scrape adds them up
    std::atomic<long long> m_microseconds{0};
};

// The HTTP side, on one thread of its own that accepts and answers, with every bound it holds fixed
// here, since any client that reaches the address is an attacker's: at most kMaxConnections at once
// (kMaxPerSource from one address, so that one source never takes every slot), each whole request
// within kRequestSeconds however it trickles in, its header within kHeaderBytes, no declared body over
// kBodyBytes, and only GET and HEAD of /metrics and /healthz. A connection beyond the slots is
// answered 503 and closed at once, so the coordinator's descriptors never go to a crowd.
//
// bind() comes first, so that an address that cannot be had stops the coordinator before it takes any
// party; serve() then answers on a thread of its own until stop() (or the destructor) ends and joins
// it. The two objects it reads outlive it. Clients it ends for a bound are told as `metrics_refused`
// status lines, at most one a second for each reason.
class MetricsServer {
public:
    static constexpr int kMaxConnections = 8;
    static constexpr int kMaxPerSource = kMaxConnections / 2;
    static constexpr int kRequestSeconds = 2;
    static constexpr size_t kHeaderBytes = 8192;
    static constexpr size_t kBodyBytes = 4096;

    MetricsServer(const Metrics& metrics, const zel::CoordinatorHost& server);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // `address` is HOST:PORT ([V6]:PORT for an IPv6 address); false, with `error` saying why, when it
    // is malformed or cannot be bound.
    bool bind(const std::string& address, std::string* error);
    // Starts answering; false when the thread's wake-up cannot be made.
    bool serve();
    // Ends the answering thread and waits for it; harmless when it does not run.
    void stop();

private:
    static void s_serve(MetricsServer* self);

    const Metrics& m_metrics;
    const zel::CoordinatorHost& m_server;
    int m_listen = -1;
    // Kept open so that, when the process is out of descriptors, a connection can still be accepted
    // and closed rather than left to make the listening socket readable for ever.
    int m_reserve = -1;
    int m_stop = -1;  // an eventfd: readable once stop() asks the thread to end
    std::thread m_thread;
};

}  // namespace tqr

#endif
