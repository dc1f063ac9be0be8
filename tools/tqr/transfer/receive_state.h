// What `tqr receive` shares between its main thread (receive.cpp) and the endstation's bridge thread
// that takes the payload (receive_take.cpp). Internal to those two files.
#ifndef ZEL_TOOLS_TQR_TRANSFER_RECEIVE_STATE_H
#define ZEL_TOOLS_TQR_TRANSFER_RECEIVE_STATE_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "code/code_link.h"
#include "transfer/destination.h"
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

// The endstation's state. run_receive fills the options part before connecting; the bridge thread
// writes the results, which run_receive reads only after process() returned (process() joins the
// bridge thread first).
struct ReceiveState {
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
    std::string text;
    // The signal thread may have the destination keep its part: it is set, and no question of its
    // own holds it meanwhile.
    std::atomic<bool> may_keep{false};

    // Whether a sender came, for the watcher (watch_for_sender). The mutex guards `sender_came`.
    std::mutex waiting_mutex;
    std::condition_variable sender_changed;
    bool sender_came = false;
};

extern ReceiveState g_receive;

// Whether the payload comes sealed: with a key or a code, not --plain.
bool sealed();

// Runs on the endstation's bridge thread once the keys matched; the socket is ours to close.
void take_payload(int fd);

}  // namespace tqr

#endif
