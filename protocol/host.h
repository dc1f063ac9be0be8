// The host's hold on its Callers and on the library as a whole, beside the Caller's own calls: who
// approves a nomination, who takes this Caller's key-checked links, how its message loop ended, its
// coordinator link ended at the host's word, and an orderly end of the library's threads.
//
// Also for hosts: zel::settings() (settings.h), the settings as the library read them;
// zel::printable() (common/zel_common.h), a peer's text made safe to show; zel::logmsg_mutex()
// (common/logmsg.h), to be held while the host itself writes to g_logmsg or opens or closes it;
// zel::set_quiet() (common/zel_common.h), to silence the library's diagnostic lines on stderr.
#ifndef ZEL_PROTOCOL_HOST_H
#define ZEL_PROTOCOL_HOST_H

#include "common/export.h"
#include "protocol/caller.h"

namespace zel {

// Takes a key-checked, connected socket descriptor, with the context given beside it.
typedef void (*BridgeHandler)(int fd, void* context);
using ApprovalPolicy = ::ApprovalPolicy;

// How a Caller's process() returned.
enum class ProcessEnd {
    NOT_RUN,         // process() has not returned yet (or never ran)
    ADIOS,           // an endstation was told "Adios ", and its bridge thread has ended
    REJECTED,        // the coordinator turned this sender away ("RejectedSender ")
    LINK_ENDED,      // the coordinator link ended, and every message on it was taken
    CLOSED_BY_HOST,  // the host ended the link with close_link()
    IDLE_LIMIT,      // no message came for the loop's limit of 1,000,000 seconds
};

// Decides which endstations nominated to this sender it takes: `policy(nickname, context)` runs on
// the thread that runs process(); null takes all. Set before process(), from the thread that runs it:
// the policy is not guarded against a loop that reads it meanwhile.
ZEL_API void set_approval_policy(Caller& caller, ApprovalPolicy policy, void* context);

// Gives this Caller's key-checked direct links to `handler(fd, context)` instead of the process-wide
// callback of set_bridge_callback (null: that one again). A sender's handler runs on the thread of the
// listener that took the endstation, several at once when several come, and the library closes the
// descriptor once it returns; an endstation's runs on its bridge thread, and the descriptor is the
// host's to close. Set before process(): the pair is not guarded against the library's threads, so
// setting it while links may arrive is a race.
ZEL_API void set_bridge_handler(Caller& caller, BridgeHandler handler, void* context);

// How process() returned: read after it returned (NOT_RUN before). Any thread.
ZEL_API ProcessEnd process_result(const Caller& caller);

// An endstation's rendezvous ends with ADIOS whether or not its link passed the key check: true once
// a key-checked link was handed to the host (its bridge handler or callback ran), false when the keys
// differed or no sender came. Read after process() returned.
ZEL_API bool bridged(const Caller& caller);

// Between negotiate() and process(): reads the link for at most `seconds`. true when the coordinator
// turned this sender away or the link ended; false when nothing of the kind came, which is how a sender
// learns it was taken in. What came stays for process().
ZEL_API bool refused_within(Caller& caller, double seconds);

// Waits at most `seconds` (0: only looks) until the coordinator link has ended, so that no message can
// arrive any more: true once it has, false when `seconds` passed first. Any thread. The end is seen by
// whoever reads the link: process() while it runs, the reader thread after it. Between negotiate()
// and process() nothing reads it, so a link closed then (by either side) shows as ended only once
// process() has run.
ZEL_API bool wait_link_ended(Caller& caller, double seconds);

// Ends the coordinator link: a process() under way on another thread returns with CLOSED_BY_HOST,
// and the reader, if one runs, ends. Any thread, at any time while the Caller exists.
ZEL_API void close_link(Caller& caller);

// Ends the library's threads and waits until they have ended: the deadline thread, and every thread
// of its two pools, which end once the work they run returns. Call it from a host thread once every
// Caller and CoordinatorHost of the host is deleted: a Caller still alive may hold a pool thread (its
// reader, a listener, a bridge), and shutdown() waits for it without a time limit. Afterwards the host may return from main with no thread of the library
// left; it may also use the library again, which starts its threads anew when they are needed.
ZEL_API void shutdown();

}  // namespace zel

#endif
