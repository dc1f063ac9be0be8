#include "protocol/party_events.h"

#include <atomic>

namespace {

struct Observer {
    PartyObserver function;
    void* context;
};

// An observer once set is never freed: a report under way on another thread may still read it.
std::atomic<const Observer*> g_observer{nullptr};

}  // namespace

void set_party_observer(PartyObserver observer, void* context) {
    g_observer.store(observer ? new Observer{observer, context} : nullptr, std::memory_order_release);
}

bool party_observed() { return g_observer.load(std::memory_order_acquire) != nullptr; }

void report_party_event(const PartyEvent& event) {
    if (const Observer* observer = g_observer.load(std::memory_order_acquire)) observer->function(event, observer->context);
}
