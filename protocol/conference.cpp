// The conference's members, its nominations, and the plumbing its rendezvous share: time limits, the
// return of ports, the end of a rendezvous, and what is done once the lock is released.
#include "protocol/conference.h"

#include <algorithm>
#include <cstring>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/deadlines.h"
#include "protocol/messages.h"
#include "protocol/party_registry.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "protocol/settings.h"

namespace {

// Late answers are told from faults for this many recently ended rendezvous.
constexpr size_t kEndedRemembered = 256;

}  // namespace

Conference::Conference(const std::string& confid, uint64_t serial) : m_confid(confid), m_serial(serial) {}

// A conference goes once it is empty: no rendezvous, so no time limit of its own is still running.
Conference::~Conference() = default;

bool Conference::addcaller(Caller* caller, const std::string& confid) {
    zel::MutexLock lock(m_mutex);
    if (caller->m_type != ROLE_SENDER) {
        m_receivers.push_back(caller);
        return true;
    }
    if (m_sender == nullptr) {
        m_sender = caller;
        return true;
    }
    zel::logline("attempt to add second sender to conference ", confid, " ignored");
    return false;
}

namespace {

// How a rendezvous ends when one of its parties leaves: a sender dropped for reporting ports in use
// ends its rendezvous as such; anything else abandons them, and says who left and why.
const char* outcome_of_leaving(const char* dropped_by) {
    return strcmp(dropped_by, "port_in_use") == 0 ? "port_in_use" : "abandoned";
}

}  // namespace

bool Conference::dropreceiver(Caller* endstation, const char* dropped_by) {
    Outbox out;
    bool empty_now;
    {
        zel::MutexLock lock(m_mutex);
        m_receivers.erase(std::remove(m_receivers.begin(), m_receivers.end(), endstation), m_receivers.end());
        zel_inform(stderr, "dropping disconnecting receiver from list of receivers\n");
        if (find(Cookie::of(endstation)) != nullptr) {
            end(Cookie::of(endstation), outcome_of_leaving(dropped_by), *dropped_by ? dropped_by : "endstation_left", &out);
            nominate_due(&out);
        }
        empty_now = is_empty();
    }
    deliver(out);
    return empty_now;
}

bool Conference::dropsender(Caller* sender, const char* dropped_by) {
    Outbox out;
    bool empty_now;
    {
        zel::MutexLock lock(m_mutex);
        if (m_sender == sender) {
            m_sender = nullptr;
            out.forget_waiter = true;
            std::vector<Rendezvous> sent_nowhere;
            std::vector<Cookie> ended;
            for (auto& entry : m_rendezvous) {
                Rendezvous& r = entry.second;
                if (r.sender != Cookie::of(sender)) continue;
                if (r.stage == CONNECT_SENT) {
                    // The endstation was told where to go; its answer still ends the rendezvous.
                    r.sender = Cookie();
                    release_port(&r);
                    continue;
                }
                if (r.stage == HAPPY_SENT) {
                    out.sends.push_back(Send{r.endstation, ROLE_ENDSTATION, MSG_ADIOS, r.endstation, ""});
                } else {
                    sent_nowhere.push_back(r);
                }
                ended.push_back(r.endstation);
            }
            for (Cookie endstation : ended)
                end(endstation, outcome_of_leaving(dropped_by), *dropped_by ? dropped_by : "sender_left", &out);
            requeue(sent_nowhere);
        }
        empty_now = is_empty();
    }
    deliver(out);
    return empty_now;
}

void Conference::requeue(std::vector<Rendezvous>& sent_nowhere) {
    // Back to the head of the queue, the earliest nominated first.
    std::sort(sent_nowhere.begin(), sent_nowhere.end(),
              [](const Rendezvous& a, const Rendezvous& b) { return a.sequence > b.sequence; });
    for (const Rendezvous& r : sent_nowhere) m_receivers.push_front(r.endstation_caller);
}

void Conference::signal() {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        zel::logline("signalling conference thread!\n");
        nominate_due(&out);
    }
    deliver(out);
}

bool Conference::has_sender() {
    zel::MutexLock lock(m_mutex);
    return m_sender != nullptr;
}

bool Conference::empty() {
    zel::MutexLock lock(m_mutex);
    return is_empty();
}

bool Conference::is_empty() { return m_sender == nullptr && m_receivers.empty() && m_rendezvous.empty(); }

size_t Conference::waiting() {
    zel::MutexLock lock(m_mutex);
    return m_receivers.size();
}

Conference::Rendezvous* Conference::find(Cookie endstation) {
    auto found = m_rendezvous.find(endstation);
    return found == m_rendezvous.end() ? nullptr : &found->second;
}

void Conference::nominate_due(Outbox* out) {
    if (m_sender == nullptr || m_receivers.empty()) return;
    Cookie sender = Cookie::of(m_sender);
    size_t under_way = 0, unanswered = 0;
    // This sender's rendezvous under way, by endstation address (a few): one whose sender left ends
    // without nominating anew, so it must not hold its address's endstations back.
    std::vector<std::pair<uint32_t, size_t>> sources;
    auto of = [&sources](uint32_t source) {
        return std::find_if(sources.begin(), sources.end(), [source](const auto& s) { return s.first == source; });
    };
    for (const auto& entry : m_rendezvous) {
        if (entry.second.sender != sender) continue;
        ++(entry.second.stage == NOMINATED ? unanswered : under_way);
        auto known = of(entry.second.source);
        if (known == sources.end()) known = sources.insert(sources.end(), {entry.second.source, 0});
        ++known->second;
    }
    if (under_way >= g_portmanager.size() || unanswered >= kMostUnanswered) return;
    // The next endstation goes at once when the sender has answered every nomination, and otherwise
    // no later than a second after the one before: a sender that is slow to answer delays the queue,
    // but cannot hold it.
    double now = zel::now();
    if (unanswered > 0 && now < m_last_nomination + kNominationInterval) {
        pace(m_last_nomination + kNominationInterval);
        return;
    }
    // The oldest whose address has fewer than kMostPerSource under way (an unknown address: no limit).
    auto next = std::find_if(m_receivers.begin(), m_receivers.end(), [&](Caller* waiting) {
        uint32_t source = waiting->m_conn->peer_address();
        auto known = of(source);
        return source == 0 || known == sources.end() || known->second < kMostPerSource;
    });
    if (next == m_receivers.end()) return;  // the end of one of theirs nominates again
    m_last_nomination = now;
    zel::logline("sender exists and receiver pending ");
    Caller* endstation = *next;
    m_receivers.erase(next);
    Rendezvous& r = m_rendezvous[Cookie::of(endstation)];
    r.endstation = Cookie::of(endstation);
    r.source = endstation->m_conn->peer_address();
    r.sender = sender;
    r.first_sender = sender;
    r.endstation_caller = endstation;
    r.nickname = endstation->nickname();
    r.stage = NOMINATED;
    r.sequence = ++m_sequence;
    r.started = zel::now();
    await(&r);
    out->sends.push_back(Send{sender, ROLE_SENDER, MSG_NOMINATE, r.endstation, r.nickname});
    if (zel::party_observed()) out->events.push_back(event(zel::EVENT_NOMINATED, r));
    zel::logline("nominating caller ");
    if (!m_receivers.empty()) pace(now + kNominationInterval);
}

void Conference::pace(double at) {
    if (m_pacing_timer != 0) return;
    std::weak_ptr<Conference> self = weak_from_this();
    m_pacing_timer = g_deadlines.schedule(at, [self] {
        std::shared_ptr<Conference> conference = self.lock();
        if (!conference) return;
        {
            zel::MutexLock lock(conference->m_mutex);
            conference->m_pacing_timer = 0;
        }
        conference->signal();
    });
}

void Conference::give_port(Rendezvous* r, Outbox* out) {
    const PortEntry* port = g_portmanager.lend(m_serial, r->sender, m_confid);
    if (port == nullptr) {
        r->stage = WAITING_PORT;
        if (std::find(m_waiting_port.begin(), m_waiting_port.end(), r->endstation) == m_waiting_port.end())
            m_waiting_port.push_back(r->endstation);
        return;
    }
    zel_inform(stderr, "port is %x %s\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(&port->text)),
               port->text.c_str());
    m_waiting_port.remove(r->endstation);
    r->port = port;
    r->port_text = port->text;
    r->stage = LISTEN_SENT;
    r->listen_sent = zel::now();
    await(r);
    out->sends.push_back(Send{r->sender, ROLE_SENDER, MSG_LISTEN, r->endstation, port->text});
    if (zel::party_observed()) out->events.push_back(event(zel::EVENT_PORT_LENT, *r));
}

void Conference::serve_waiting(Outbox* out) {
    while (!m_waiting_port.empty()) {
        Rendezvous* r = find(m_waiting_port.front());
        if (r == nullptr || r->stage != WAITING_PORT) {
            m_waiting_port.pop_front();
            continue;
        }
        give_port(r, out);
        if (r->stage == WAITING_PORT) return;  // in line again for the next port
    }
    // Nothing waits: a port reserved for us meanwhile goes to the next conference.
    out->forget_waiter = true;
}

void Conference::await(Rendezvous* r) {
    r->due = zel::now() + zel::settings().listen_timeout;
    // One timer a rendezvous: each answer owed is due later than the one before, so a timer armed
    // for an earlier answer fires first and arms itself again for the answer owed then. A rendezvous
    // that goes well schedules one deadline and cancels it, instead of one per answer.
    if (r->timer == 0) arm(r);
}

void Conference::arm(Rendezvous* r) {
    std::weak_ptr<Conference> self = weak_from_this();
    Cookie endstation = r->endstation;
    // The nomination it is for: an action already under way when its rendezvous ended must not
    // take over a later one of the same endstation.
    uint64_t sequence = r->sequence;
    r->timer = g_deadlines.schedule(r->due, [self, endstation, sequence] {
        if (std::shared_ptr<Conference> conference = self.lock()) conference->deadline_passed(endstation, sequence);
    });
}

void Conference::stop_waiting(Rendezvous* r) { r->due = 0; }

void Conference::release_port(Rendezvous* r) {
    if (r->port == nullptr) return;
    const zel::Settings& limits = zel::settings();
    double at = r->stage == LISTEN_SENT ? r->listen_sent + limits.unheard_listener_margin()
                                        : r->listening_heard + limits.heard_listener_margin();
    g_portmanager.return_at(r->port, at);
    r->port = nullptr;
}

void Conference::end(Cookie endstation, const char* outcome, const char* why, Outbox* out) {
    Rendezvous* r = find(endstation);
    if (r == nullptr) return;
    if (zel::party_observed()) {
        zel::PartyEvent ended = event(zel::EVENT_RENDEZVOUS_ENDED, *r);
        ended.what = outcome;
        ended.detail = why;
        ended.ms = (zel::now() - r->started) * 1000.0;
        out->events.push_back(std::move(ended));
    }
    stop_waiting(r);
    g_deadlines.cancel(r->timer);
    r->timer = 0;
    m_waiting_port.remove(endstation);
    release_port(r);
    m_ended.push_back(Ended{endstation, r->first_sender, 0});
    if (m_ended.size() > kEndedRemembered) m_ended.pop_front();
    m_rendezvous.erase(endstation);
}

bool Conference::is_stale(Cookie endstation, Cookie sender) {
    // An honest party answers each message once: after a rendezvous was given up, the answers it
    // still owed at most. More than that is repetition.
    constexpr int kLateAnswers = 2;
    for (Ended& ended : m_ended)
        if (ended.endstation == endstation && ended.sender == sender) return ++ended.late_answers <= kLateAnswers;
    return false;
}

zel::PartyEvent Conference::event(zel::PartyEventKind kind, const Rendezvous& r) {
    zel::PartyEvent e;
    e.kind = kind;
    e.role = ROLE_ENDSTATION;
    e.party = r.endstation_caller;
    if (!zel::party_observed()) return e;
    e.conference = m_confid;
    e.nickname = r.nickname;
    e.port = r.port_text;
    return e;
}

void Conference::deliver(Outbox& out) {
    // One buffer for every message this thread composes: a party's thread delivers a few a rendezvous.
    static thread_local std::string text;
    for (const Send& send : out.sends) {
        if (!compose_message(send.type, send.about, send.info.c_str(), &text)) {
            zel::logline("TQR: not sending an over-long ", g_message_names[send.type], "in conference ", m_confid);
            continue;
        }
        HeldParty target(send.to, send.role, m_confid);
        if (target.get()) target.get()->send_text(text);
    }
    for (const std::string& port : out.recycle) g_portmanager.recycle_port(port);
    for (const Drop& drop : out.drops) {
        HeldParty party(drop.party, drop.role, m_confid);
        if (party.get()) party.get()->drop("deadline", drop.waited);
    }
    if (out.forget_waiter) g_portmanager.forget(m_serial);
    if (zel::party_observed())
        for (const zel::PartyEvent& e : out.events) zel::report_party_event(e);
}
