// Guesses (send_state.h): how `tqr send` limits the tries at its code.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "transfer/party.h"
#include "transfer/send_state.h"

namespace tqr {

long Guesses::most_failures() { return tool_setting("TQR_MAX_FAILED_CONFIRMATIONS", 100); }

unsigned Guesses::admit(const std::string& source, Clock::time_point now) {
    auto found = m_sources.find(source);
    if (found != m_sources.end()) {
        const Source& known = found->second;
        if (now < known.next_try)
            return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::seconds>(known.next_try - now).count() + 1);
        // One try at a time from a source that failed, so that a burst of links gets one guess.
        if (known.failures > 0 && known.confirming > 0) return 1;
    }
    // Per code, whatever the source: a budget spent for the minute is told at once, before any
    // confirmation byte; test() holds it exactly when the tags come.
    if (unsigned wait = budget_wait(now, 0)) return wait;
    ++m_sources[source].confirming;
    return 0;
}

void Guesses::ended(const std::string& source) {
    auto found = m_sources.find(source);
    if (found == m_sources.end() || found->second.confirming == 0) return;
    --found->second.confirming;
    if (found->second.failures == 0 && found->second.confirming == 0) m_sources.erase(found);
}

unsigned Guesses::budget_wait(Clock::time_point now, long testing) {
    while (!m_recent.empty() && now - m_recent.front() >= std::chrono::minutes(1)) m_recent.pop_front();
    if (static_cast<long>(m_recent.size()) + testing < kFailuresPerMinute) return 0;
    if (m_recent.empty()) return 1;
    return static_cast<unsigned>(60 - std::chrono::duration_cast<std::chrono::seconds>(now - m_recent.front()).count());
}

unsigned Guesses::test(Clock::time_point now) {
    if (unsigned wait = budget_wait(now, m_testing)) return wait;
    ++m_testing;
    return 0;
}

unsigned Guesses::tested(const std::string& source, bool matched, Clock::time_point now) {
    if (m_testing > 0) --m_testing;
    return matched ? 0 : failed(source, now);
}

unsigned Guesses::failed(const std::string& source, Clock::time_point now) {
    Source& known = m_sources[source];
    ++known.failures;
    ++m_failures;
    unsigned delay = known.failures > 7 ? kMostFailureDelaySeconds
                                        : std::min(kMostFailureDelaySeconds, 1u << (known.failures - 1));
    known.next_try = now + std::chrono::seconds(delay);
    m_recent.push_back(now);
    return delay;
}

std::string Guesses::sources_text() const {
    constexpr size_t kShown = 5;
    std::vector<std::pair<long, std::string>> ranked;
    for (const auto& source : m_sources) ranked.push_back({-source.second.failures, source.first});
    std::sort(ranked.begin(), ranked.end());
    std::string text;
    for (size_t i = 0; i < std::min(kShown, ranked.size()); ++i)
        text += (i ? ", " : "") + ranked[i].second + " \u00d7" + std::to_string(-ranked[i].first);
    if (ranked.size() > kShown) text += " and " + std::to_string(ranked.size() - kShown) + " more";
    return text;
}

}  // namespace tqr
