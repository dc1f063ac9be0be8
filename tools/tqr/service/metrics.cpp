#include "service/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/coordinator_host.h"

namespace tqr {

namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

const double kBounds[Metrics::kBuckets] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                           0.5,   1,      2.5,   5,    10,    30,    60};
// The last name of each list stands for whatever the library may tell beyond the others, so that no
// event goes uncounted; it is shown only once it counted one.
const char* const kOutcomeNames[Metrics::kOutcomes] = {"ok", "abandoned", "port_in_use", "failed", "other"};
const char* const kReasonNames[Metrics::kReasons] = {
    "handshake_timeout", "deadline", "ignored_messages",   "port_in_use",        "nickname_too_long",
    "message_too_long",  "no_role",  "waiting_conferences", "foreign_conference", "make_room", "other"};

int index_of(const char* const* names, int size, const char* name) {
    for (int i = 0; i < size - 1; ++i)
        if (strcmp(names[i], name) == 0) return i;
    return size - 1;
}

// Appends the exposition: each family's HELP and TYPE lines, then its samples.
class Exposition {
public:
    void family(const char* name, const char* type, const char* help) {
        m_text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const std::string& series, long long value) { m_text += series + " " + std::to_string(value) + "\n"; }
    void fraction(const std::string& series, double value) {
        char text[64];
        snprintf(text, sizeof text, " %.6f\n", value);
        m_text += series + text;
    }
    // One sample per label value of `names`; the last (other) only when it counted something.
    void labelled(const char* name, const char* label, const char* const* names, const std::atomic<long>* counts,
                  int size) {
        for (int i = 0; i < size; ++i) {
            long value = counts[i].load(kRelaxed);
            if (i < size - 1 || value > 0) sample(std::string(name) + "{" + label + "=\"" + names[i] + "\"}", static_cast<long long>(value));
        }
    }
    std::string& text() { return m_text; }

private:
    std::string m_text;
};

std::string bound_text(double bound) {
    char text[32];
    snprintf(text, sizeof text, "%g", bound);
    return text;
}

}  // namespace

void Metrics::count(const zel::PartyEvent& event) {
    switch (event.kind) {
    case zel::EVENT_RENDEZVOUS_ENDED: {
        m_outcomes[index_of(kOutcomeNames, kOutcomes, event.what)].fetch_add(1, kRelaxed);
        int bucket = 0;
        while (bucket < kBuckets && event.ms / 1000.0 > kBounds[bucket]) ++bucket;
        m_in_bucket[bucket].fetch_add(1, kRelaxed);
        m_microseconds.fetch_add(std::llround(event.ms * 1000.0), kRelaxed);
        break;
    }
    case zel::EVENT_DROPPED:
        m_reasons[index_of(kReasonNames, kReasons, event.what)].fetch_add(1, kRelaxed);
        break;
    case zel::EVENT_REFUSED:
        m_refused.fetch_add(1, kRelaxed);
        break;
    case zel::EVENT_REJECTED_SENDER:
        m_rejected.fetch_add(1, kRelaxed);
        break;
    default:
        break;
    }
}

std::string Metrics::exposition(const zel::CoordinatorHost& server) const {
    const zel::CoordinatorCounts counts = server.counts();
    Exposition out;
    out.family("tqr_parties", "gauge", "Parties served now, those still in their handshake included.");
    out.sample("tqr_parties", static_cast<long long>(counts.parties));
    out.family("tqr_conferences", "gauge", "Conferences that have at least one party now.");
    out.sample("tqr_conferences", static_cast<long long>(counts.conferences));
    out.family("tqr_ports", "gauge",
               "Ports of the lending pool by state: free; lent, to a rendezvous or set apart for a conference "
               "that waits for one; set_aside, resting until no listener can hold them or after a sender found "
               "them in use.");
    const Portmanager::Counts& ports = counts.ports;
    out.sample("tqr_ports{state=\"free\"}", static_cast<long long>(ports.free));
    out.sample("tqr_ports{state=\"lent\"}", static_cast<long long>(ports.lent + ports.reserved));
    out.sample("tqr_ports{state=\"set_aside\"}", static_cast<long long>(ports.set_aside + ports.returning));
    out.family("tqr_rendezvous_total", "counter", "Rendezvous ended, by outcome.");
    out.labelled("tqr_rendezvous_total", "outcome", kOutcomeNames, m_outcomes, kOutcomes);
    out.family("tqr_parties_dropped_total", "counter", "Parties dropped by a rule, by the rule.");
    out.labelled("tqr_parties_dropped_total", "reason", kReasonNames, m_reasons, kReasons);
    out.family("tqr_connections_refused_total", "counter",
               "Connections closed at once because TQR_MAX_PARTIES parties were being served.");
    out.sample("tqr_connections_refused_total", static_cast<long long>(m_refused.load(kRelaxed)));
    out.family("tqr_rejected_senders_total", "counter", "Second senders of a conference turned away.");
    out.sample("tqr_rejected_senders_total", static_cast<long long>(m_rejected.load(kRelaxed)));
    out.family("tqr_rendezvous_seconds", "histogram",
               "Time from the nomination to the end of each rendezvous, whatever its outcome.");
    // The count is the buckets' own sum, so that +Inf and _count agree within a scrape.
    long long cumulative = 0;
    for (int i = 0; i <= kBuckets; ++i) {
        cumulative += m_in_bucket[i].load(kRelaxed);
        std::string bound = i < kBuckets ? bound_text(kBounds[i]) : "+Inf";
        out.sample("tqr_rendezvous_seconds_bucket{le=\"" + bound + "\"}", cumulative);
    }
    out.fraction("tqr_rendezvous_seconds_sum", static_cast<double>(m_microseconds.load(kRelaxed)) / 1e6);
    out.sample("tqr_rendezvous_seconds_count", cumulative);
    return std::move(out.text());
}

}  // namespace tqr
