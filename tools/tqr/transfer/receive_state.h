// What `tqr receive` shares between its main thread (receive.cpp) and the endstation's bridge thread
// that takes the payload (receive_take.cpp). Internal to those two files.
#ifndef ZEL_TOOLS_TQR_TRANSFER_RECEIVE_STATE_H
#define ZEL_TOOLS_TQR_TRANSFER_RECEIVE_STATE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "code/code_link.h"
#include "protocol/mutex.h"
#include "protocol/party_events.h"
#include "transfer/destination.h"
#include "transfer/party.h"
#include "transfer/payload.h"
#include "transfer/secure.h"

class Caller;

namespace tqr {

class Progress;

constexpr int kLinkSeconds = 60;
// How long the endstation waits for the coordinator's "Adios " before it confirms the payload anyway.
constexpr int kAdiosSeconds = 30;
// How long a receiver waits for a sender in silence before it says that it is waiting.
constexpr int kQuietWaitSeconds = 5;
// How long a receiver of a code waits for its sender without --timeout: a mistyped nameplate, or one
// whose sender has stopped, must not wait for ever.
constexpr long kCodeWaitSeconds = 30;

// One `tqr receive`: its options as run_receive settled them, what the bridge thread found, and how
// the command ends. Owned by run_receive, on its stack, which outlives every thread that reaches it:
// the library's (the party observer and the bridge handler get it as their context), the watcher that
// run_receive starts, and the signal thread (InterruptWatch). The bridge thread writes the results,
// which run_receive reads only once the Caller was deleted (which joins the bridge thread).
struct ReceiveState {
    Ending ending;
    std::atomic<Caller*> caller{nullptr};
    Progress* progress = nullptr;
    std::unique_ptr<Destination> destination;

    std::unique_ptr<LinkKeys> keys;  // --conference without --plain
    std::unique_ptr<Code> code;      // the code mode

    std::atomic<bool> bridged{false};
    std::atomic<bool> sender_unreachable{false};
    ConfirmResult confirmed = CONFIRMED;
    unsigned retry_seconds = 0;  // CONFIRM_LATER: what the sender asked this address to wait
    bool timed_out = false;      // the confirmation took longer than confirm_seconds(), or the payload stalled
    ReceiveResult result = RECEIVED_NOTHING;
    uint64_t moved = 0;     // bytes this transfer moved (beyond those an earlier one kept)
    double seconds = 0;     // from the key check to the verified end
    std::string name;       // the sender's name of the payload
    std::string peer;
    bool on_screen = false;    // the payload goes to standard output, which is a terminal
    bool line_ended = true;    // the last byte of the payload written so far ends a line
    bool verify = false;      // --verify: the check words go before a person when there is one
    bool asks = false;        // a person answers questions on the terminal
    bool unverified = false;  // the person did not say that the check words match
    bool is_text = false;     // the payload is a --text message: it goes to `text`, never to a file
    bool text_declined = false;  // ... declined: standard output was closed, and no --json shows it
    bool output_failed = false;  // standard output did not take the text whole
    std::string text;
    // The signal thread may have the destination keep its part: it is set, and no question of its
    // own holds it meanwhile.
    std::atomic<bool> may_keep{false};

    // Whether a sender came, for the watcher (watch_for_sender), and whether run_receive still waits
    // for one. First in the lock order: a claim of the end is made under it, so that no sender can come
    // in between; then the Ending's, Progress's and the library's locks.
    zel::Mutex waiting_mutex;
    zel::CondVar sender_changed;
    bool sender_came ZEL_GUARDED_BY(waiting_mutex) = false;
    bool waiting_over ZEL_GUARDED_BY(waiting_mutex) = false;

    // The direct link that the bridge thread runs (-1: none), for the signal thread to end, so that a
    // sender that holds it still cannot hold the command. A leaf: the descriptor is closed only under it.
    zel::Mutex link_mutex;
    int link_fd ZEL_GUARDED_BY(link_mutex) = -1;

    // Whether the payload comes sealed: with a key or a code, not --plain.
    bool sealed() const { return keys || code; }
};

// Whether the end was claimed, or is being claimed by the signal thread, which ended the prompts first:
// nothing more is to be shown then.
bool ended(const ReceiveState& state);

// The endstation's party observer (`context`: the ReceiveState), on the library's threads.
void on_party_event(const zel::PartyEvent& event, void* context);

// The signal thread's end of the command (`context`: the ReceiveState).
void on_interrupt(int signal, void* context);

// The endstation's bridge handler (`context`: the ReceiveState): runs on the bridge thread once the
// keys matched; the socket is ours to close.
void take_payload(int fd, void* context);

}  // namespace tqr

#endif
