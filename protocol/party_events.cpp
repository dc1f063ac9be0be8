#include "protocol/party_report.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace {

struct Observer {
    zel::PartyObserver function;
    void* context;
};

// An observer once set is kept for the life of the process: a report under way on another thread
// may still read it. Hosts set one or two.
std::atomic<const Observer*> g_observer{nullptr};
std::mutex g_kept_mutex;
std::deque<Observer> g_kept;

}  // namespace

void zel::set_party_observer(PartyObserver observer, void* context) {
    const Observer* kept = nullptr;
    if (observer != nullptr) {
        std::lock_guard<std::mutex> lock(g_kept_mutex);
        g_kept.push_back(Observer{observer, context});
        kept = &g_kept.back();
    }
    g_observer.store(kept, std::memory_order_release);
}

bool zel::party_observed() { return g_observer.load(std::memory_order_acquire) != nullptr; }

void zel::report_party_event(const PartyEvent& event) {
    if (const Observer* observer = g_observer.load(std::memory_order_acquire)) observer->function(event, observer->context);
}
