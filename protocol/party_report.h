// How the library's own units tell the observer of party_events.h: each step builds its event only
// while one is set, and reports it on the thread that took the step, with no lock of the library held.
// Internal header.
#ifndef ZEL_PROTOCOL_PARTY_REPORT_H
#define ZEL_PROTOCOL_PARTY_REPORT_H

#include "protocol/party_events.h"

namespace zel {

// Whether an observer is set: a step builds its event only then.
bool party_observed();
void report_party_event(const PartyEvent& event);

}  // namespace zel

#endif
