// Party events: how a host learns what becomes of each party without reading log lines. The library
// tells one observer, process-wide, every step it takes for a party: on the coordinator (joined,
// nominated, port lent, connected, rendezvous ended and how, dropped and why, sender turned away,
// connection refused, port set aside) and on a sender or an endstation (nominated, told to listen or
// to connect, key check passed or refused, bridged, connection to the sender failed).
//
// The observer runs on the library thread that took the step, with no lock of the library held, and
// may call into the library; it must return soon, since a rendezvous may wait for it. Events are built
// only while an observer is set.
#ifndef ZEL_PROTOCOL_PARTY_EVENTS_H
#define ZEL_PROTOCOL_PARTY_EVENTS_H

#include <string>

#include "common/export.h"

namespace zel {

enum PartyEventKind {
    // On the coordinator. `party` is the coordinator's Caller of the party concerned.
    EVENT_JOINED,             // a party joined its conference
    EVENT_NOMINATED,          // an endstation (nickname) was nominated to the conference's sender
    EVENT_PORT_LENT,          // `port` was lent for the rendezvous of endstation `nickname`
    EVENT_CONNECTED,          // the endstation reported it reached the sender on `port`
    EVENT_RENDEZVOUS_ENDED,   // `what`: ok, abandoned, failed or port_in_use; `detail`: why; `ms`
    EVENT_PORT_SET_ASIDE,     // the sender reported `port` in use; it rests for `ms`
    EVENT_DROPPED,            // a party was dropped by a rule; `what`: the rule, `detail`: more
    EVENT_REJECTED_SENDER,    // a second sender of the conference was turned away
    EVENT_REFUSED,            // a connection was closed at once: `count` parties are served already
    EVENT_LEFT,               // a party's link ended

    // On a sender or an endstation. `party` is its own Caller.
    EVENT_NOMINATION,         // sender: endstation `nickname` was nominated; `what`: approved or declined
    EVENT_LISTENING,          // sender: listens on `port` (`what`: listening or in_use)
    EVENT_LISTENER_UNUSED,    // sender: the listener on `port` closed with no endstation through
    EVENT_CONNECTING,         // endstation: connects to the sender on `port`
    EVENT_CONNECT_FAILED,     // endstation: the sender could not be reached on `port`
    EVENT_KEY_CHECKED,        // the key check with `peer` passed
    EVENT_KEY_REFUSED,        // the key check with `peer` failed (on a sender: an intruder on `port`)
    EVENT_BRIDGED,            // the link with `peer` went to the host's bridge
    EVENT_REJECTED,           // sender: the coordinator turned this sender away
};

struct PartyEvent {
    PartyEventKind kind;
    int role;                 // the role of the party concerned (2 sender, 3 endstation, 1 not known)
    const void* party;        // its Caller: an identity to tell parties apart, not to follow
    std::string conference;
    std::string nickname;     // an endstation's, where the step concerns one
    std::string port;
    std::string peer;         // "a.b.c.d:port"
    const char* what = "";
    const char* detail = "";
    double ms = 0;            // how long the rendezvous took, or how long a port rests
    long count = 0;
};

typedef void (*PartyObserver)(const PartyEvent& event, void* context);

// Sets the observer (null: none) and the context it is called with; any thread. Set it before the
// parties start: an event under way may still reach the earlier observer. Every observer set is kept
// until the process ends, so an event under way never reads one that is gone.
ZEL_API void set_party_observer(PartyObserver observer, void* context);

}  // namespace zel

#endif
