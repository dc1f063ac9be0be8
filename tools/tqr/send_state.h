// What `tqr send` shares between its main thread and the library threads that serve its links.
#ifndef ZEL_TOOLS_TQR_SEND_STATE_H
#define ZEL_TOOLS_TQR_SEND_STATE_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "tools/tqr/payload.h"
#include "tools/tqr/progress.h"
#include "tools/tqr/secure.h"
#include "tools/tqr/tree.h"
#include "tools/tqr/words.h"

class Caller;

namespace tqr {

// Failed confirmations after which a code is no longer served: a guess online then has 3 chances in
// more than 8 billion.
constexpr long kMostFailedConfirmations = 3;

// What the bridge callback serves, and what it has served. Written by run_send before the Caller
// connects; the counters are guarded by `mutex`, since bridge callbacks run on several library
// threads at once.
struct SendState {
    Caller* caller = nullptr;
    PayloadSource source;
    std::unique_ptr<TreeSource> tree;  // a folder: each link reads its own TreeStream of it
    PayloadHeader offer;               // what every endstation is offered (its name, size, kind, identity)
    std::string name;

    // The file's identity (offer.identity) is computed on a thread of its own while the code is read
    // out, so that a large file does not keep its code from being shown; the mutex guards the
    // identity and `identified`.
    std::mutex identity_mutex;
    std::condition_variable identity_done;
    bool identified = true;
    std::pair<timespec, timespec> identified_at{};  // the file's change times when it was hashed
    long limit = 0;
    std::unique_ptr<LinkKeys> keys;  // --conference without --plain
    std::unique_ptr<Code> code;      // the code mode
    Progress* progress = nullptr;

    std::mutex mutex;
    long committed = 0;  // approved, and not yet bridged nor given up
    long active = 0;
    long served = 0;
    long lost = 0;
    long refused = 0;             // failed the key confirmation, spoke another format or declined the payload
    long mismatches = 0;          // failed the key confirmation
    bool closing = false;         // the coordinator link was shut down: the limit is reached, or see below
    bool stream_used_up = false;  // a streamed standard input went to a transfer that failed
    bool guessed = false;         // the code failed kMostFailedConfirmations times
};

extern SendState g_send;

// Ends the message loop: process() returns once its link is gone; the main thread takes it from there.
// Called with g_send.mutex held.
void close_coordinator_link();

// The bridge callback: runs on a listener thread of the library, one per key-checked endstation; the
// library closes `fd` when it returns.
void serve_endstation(int fd);

}  // namespace tqr

#endif
