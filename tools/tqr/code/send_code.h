// How `tqr send` comes by a code (the code mode): a coordinator, which is one of its own when none
// answers at localhost and no --host was given; a nameplate whose conference has no sender yet; and
// the code with the command that receives it, shown once the coordinator took the sender in.
#ifndef ZEL_TOOLS_TQR_CODE_SEND_CODE_H
#define ZEL_TOOLS_TQR_CODE_SEND_CODE_H

#include <functional>
#include <memory>
#include <string>

#include "protocol/coordinator_host.h"
#include "protocol/mutex.h"
#include "protocol/party_events.h"
#include "cli/commands.h"
#include "code/words.h"

class Caller;

namespace tqr {

class Ending;
class Progress;

// What this process's own coordinator said of the conference being joined: filled by its party
// events (admission_event), on its threads; read by the joining thread. Owned by the sender's state.
struct Admission {
    zel::Mutex mutex;  // guards what follows; a leaf: nothing else is taken under it
    zel::CondVar changed;
    std::string conference ZEL_GUARDED_BY(mutex);
    int verdict ZEL_GUARDED_BY(mutex) = 0;  // 1 joined, -1 turned away, 0 not told yet
};

// A sender's Caller as `tqr send` sets it up, not yet connected.
typedef std::function<Caller*()> CallerMaker;

// What join_with_code works with: `ending` takes its failures (first claim wins, so that an
// interruption meanwhile stands), `admission` the own coordinator's word, and `coordinator` the own
// coordinator once it serves one, for the caller to stop after every Caller is gone.
struct CodeJoin {
    Ending& ending;
    Admission& admission;
    std::unique_ptr<zel::CoordinatorHost>& coordinator;
};

// Joins the conference of a fresh code of `words` words as its sender, drawing another nameplate
// while the one drawn has a sender already; or of `chosen` (already checked by parse_code), whose
// nameplate only is tried. EXIT_DONE with `*caller` joined and `code` filled, once the code went to
// standard output; otherwise the exit status, once the end was claimed on `join.ending`.
int join_with_code(const PartyOptions& options, const Code* chosen, size_t words, Progress& progress,
                   const CallerMaker& make_caller, const CodeJoin& join, Caller** caller, Code* code);

// What the process's party observer hands on: the word of this process's own coordinator on the
// conference being joined.
void admission_event(Admission& admission, const zel::PartyEvent& event) ZEL_EXCLUDES(admission.mutex);

// Why a sender of `plate` was refused, and what to do: a refusal told only after the code was shown
// (`late`) makes that code void; a code the person chose (`chosen`) wants another number.
std::string nameplate_taken(unsigned plate, bool chosen, bool late);

}  // namespace tqr

#endif
