// How `tqr send` comes by a code (the code mode): a coordinator, which is one of its own when none
// answers at localhost and no --host was given; a nameplate whose conference has no sender yet; and
// the code with the command that receives it, shown once the coordinator took the sender in.
#ifndef ZEL_TOOLS_TQR_CODE_SEND_CODE_H
#define ZEL_TOOLS_TQR_CODE_SEND_CODE_H

#include "protocol/party_events.h"
#include "cli/commands.h"
#include "code/words.h"

class Caller;

namespace tqr {

class Progress;

// A sender's Caller as `tqr send` sets it up, not yet connected.
typedef Caller* (*CallerMaker)();

// Joins the conference of a fresh code of `words` words as its sender, drawing another nameplate
// while the one drawn has a sender already; or of `chosen` (already checked by parse_code), whose
// nameplate only is tried. EXIT_DONE with `*caller` joined and `code` filled, once the code went to
// standard output; otherwise the exit status, once `progress` told why.
int join_with_code(const PartyOptions& options, const Code* chosen, size_t words, Progress& progress,
                   CallerMaker make_caller, Caller** caller, Code* code);

// What the process's party observer hands on: the word of this process's own coordinator on the
// conference being joined.
void admission_event(const PartyEvent& event);

}  // namespace tqr

#endif
