// The conference's rendezvous, step by step: each answer of a sender or an endstation advances its
// rendezvous only when it is the answer that rendezvous waits for, from the party it waits for, about
// the port it was lent; and an answer that does not come in time drops the party that owed it.
#include "common/logmsg.h"
#include "protocol/caller.h"
#include "protocol/clock.h"
#include "protocol/conference.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "protocol/settings.h"

Conference::Rendezvous* Conference::awaiting(Cookie endstation, Cookie sender, Stage stage, const std::string* port) {
    Rendezvous* r = find(endstation);
    bool fits = r != nullptr && r->stage == stage && (port == nullptr || r->port_text == *port) &&
                (stage == CONNECT_SENT ? r->first_sender == sender : r->sender == sender);
    return fits ? r : nullptr;
}

Verdict Conference::missed(Cookie endstation, Cookie sender) { return is_stale(endstation, sender) ? STALE : REFUSED; }

Verdict Conference::on_approve(Caller* sender, Cookie endstation) {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        Rendezvous* r = awaiting(endstation, Cookie::of(sender), NOMINATED, nullptr);
        if (r == nullptr) return missed(endstation, Cookie::of(sender));
        stop_waiting(r);
        give_port(r, &out);
        nominate_due(&out);
    }
    deliver(out);
    return ACTED;
}

Verdict Conference::on_listening(Caller* sender, Cookie endstation, const std::string& port) {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        Rendezvous* r = awaiting(endstation, Cookie::of(sender), LISTEN_SENT, &port);
        if (r == nullptr) return missed(endstation, Cookie::of(sender));
        stop_waiting(r);
        r->listening_heard = zel::now();
        r->stage = CONNECT_SENT;
        await(r);
        out.sends.push_back(Send{endstation, ROLE_ENDSTATION, MSG_CONNECT, r->sender, port});
    }
    deliver(out);
    return ACTED;
}

Verdict Conference::on_port_in_use(Caller* sender, Cookie endstation, const std::string& port) {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        Rendezvous* r = awaiting(endstation, Cookie::of(sender), LISTEN_SENT, &port);
        if (r == nullptr) return missed(endstation, Cookie::of(sender));
        stop_waiting(r);
        // Something else holds the port on the sender's host, for now: it is tried again once any
        // listener of ours that could be that something has given up.
        double rest = zel::settings().unheard_listener_margin();
        g_portmanager.mark_in_use(port, zel::now() + rest);
        zel::PartyEvent aside = event(zel::EVENT_PORT_SET_ASIDE, *r);
        aside.ms = rest * 1000.0;
        out.events.push_back(std::move(aside));
        r->port = nullptr;
        give_port(r, &out);
    }
    deliver(out);
    return ACTED;
}

Verdict Conference::on_sender_happy(Caller* sender, Cookie endstation, const std::string& port) {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        Rendezvous* r = awaiting(endstation, Cookie::of(sender), HAPPY_SENT, &port);
        if (r == nullptr) return missed(endstation, Cookie::of(sender));
        // The sender closed its listener before it answered: the port is free for the next at once,
        // once "Adios " is on its way.
        out.sends.push_back(Send{endstation, ROLE_ENDSTATION, MSG_ADIOS, endstation, ""});
        out.recycle.push_back(port);
        r->port = nullptr;
        end(endstation, "ok", "", &out);
        nominate_due(&out);
    }
    deliver(out);
    return ACTED;
}

Verdict Conference::on_connected(Caller* endstation_caller, Cookie sender, const std::string& port) {
    Outbox out;
    Cookie endstation = Cookie::of(endstation_caller);
    {
        zel::MutexLock lock(m_mutex);
        Rendezvous* r = awaiting(endstation, sender, CONNECT_SENT, &port);
        if (r == nullptr) return missed(endstation, sender);
        stop_waiting(r);
        if (zel::party_observed()) out.events.push_back(event(zel::EVENT_CONNECTED, *r));
        if (r->sender == Cookie()) {
            // Its sender has left; the endstation's part is done all the same.
            out.sends.push_back(Send{endstation, ROLE_ENDSTATION, MSG_ADIOS, endstation, ""});
            end(endstation, "abandoned", "sender_left", &out);
        } else {
            r->stage = HAPPY_SENT;
            await(r);
            out.sends.push_back(Send{r->sender, ROLE_SENDER, MSG_ENDSTATION_HAPPY, endstation, port});
        }
    }
    deliver(out);
    return ACTED;
}

Verdict Conference::on_failed(Caller* endstation_caller, Cookie sender) {
    Outbox out;
    Cookie endstation = Cookie::of(endstation_caller);
    {
        zel::MutexLock lock(m_mutex);
        if (awaiting(endstation, sender, CONNECT_SENT, nullptr) == nullptr) return missed(endstation, sender);
        end(endstation, "failed", "connect_failed", &out);
        nominate_due(&out);
    }
    deliver(out);
    return ACTED;
}

void Conference::serve_waiting() {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        serve_waiting(&out);
        nominate_due(&out);
    }
    deliver(out);
}

void Conference::deadline_passed(Cookie endstation, uint64_t sequence) {
    Outbox out;
    {
        zel::MutexLock lock(m_mutex);
        Rendezvous* r = find(endstation);
        if (r == nullptr || r->sequence != sequence) return;
        r->timer = 0;
        // Nothing owed now (the next await arms a timer anew), or an answer owed since, due later.
        if (r->due == 0) return;
        if (zel::now() < r->due) {
            arm(r);
            return;
        }
        r->due = 0;
        switch (r->stage) {
        case NOMINATED:
            out.drops.push_back(Drop{r->sender, ROLE_SENDER, g_message_names[MSG_APPROVE]});
            break;
        case LISTEN_SENT:
            out.drops.push_back(Drop{r->sender, ROLE_SENDER, g_message_names[MSG_LISTENING]});
            break;
        case CONNECT_SENT:
            out.drops.push_back(Drop{endstation, ROLE_ENDSTATION, g_message_names[MSG_CONNECTED]});
            break;
        case HAPPY_SENT:
            out.drops.push_back(Drop{r->sender, ROLE_SENDER, g_message_names[MSG_SENDER_HAPPY]});
            break;
        case WAITING_PORT:
            break;
        }
    }
    deliver(out);
}
