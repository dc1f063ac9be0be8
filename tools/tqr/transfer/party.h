// What `tqr send` and `tqr receive` share: the key options, the way to the coordinator, and the end of
// the process.
#ifndef ZEL_TOOLS_TQR_TRANSFER_PARTY_H
#define ZEL_TOOLS_TQR_TRANSFER_PARTY_H

#include <memory>
#include <pthread.h>

#include <string>

#include "cli/commands.h"
#include "protocol/mutex.h"

class Caller;

namespace tqr {

class Ending;
class LinkKeys;
class Progress;

enum KeyOrigin { KEY_FROM_OPTION, KEY_FROM_FILE, KEY_FROM_ENVIRONMENT, KEY_NONE };

// The key from --key, else --key-file (its first line), else the environment's TQR_KEY, else "" (with
// KEY_NONE). false, with `error` set, when the key file cannot be read.
bool resolve_key(const PartyOptions& options, std::string* key, KeyOrigin* origin, std::string* error);

// Keys shorter than this get a warning: a person's word or two falls to a guesser offline.
constexpr size_t kShortKey = 16;

// resolve_key, with a warning for a key on the command line (other users of the machine can read it)
// or a short one, and in the encrypted mode normalised (secure.h). An empty key is refused, and so is
// none at all unless the sender (`sending`) makes one. EXIT_DONE, or EXIT_USAGE_OR_IO once `progress`
// told why.
int party_key(const PartyOptions& options, bool sending, Progress& progress, std::string* key, KeyOrigin* origin);

// The key the library checks on the direct link: `key` itself with --plain; otherwise the check key
// derived from it, with the link keys stored in `keys`. Wipes `key` either way.
std::string library_key(std::string& key, const PartyOptions& options, std::unique_ptr<LinkKeys>* keys);

// EXIT_DONE when no key option stands without --conference (a code brings its own keys); otherwise
// EXIT_USAGE_OR_IO once `progress` told why.
int check_code_options(const PartyOptions& options, Progress& progress);

// "<host name>-<pid>": the nickname when none is given.
std::string default_nickname();

// Where and as what a party joins.
struct Membership {
    std::string host;
    std::string conference;
    std::string key;  // the key the library checks
};

// Connects `caller` to the coordinator at `membership.host` as `role` (sender or endstation), starts
// its reader and walks the handshake. EXIT_DONE when joined; otherwise EXIT_NO_COORDINATOR with `error`
// set, and `unreachable` (when not null) set when nothing answered at all.
// With `ending`, an end claimed meanwhile ends the handshake at once (the caller then finds it claimed).
int join_coordinator(Caller* caller, int role, const Membership& membership, const PartyOptions& options,
                     std::string* error, bool* unreachable = nullptr, Ending* ending = nullptr);

// The peer of a connected socket, "a.b.c.d:port" ("" when it cannot be told).
std::string peer_of(int fd);

// Bounds every later send and receive on a direct link, so that a peer that stops answering ends the
// transfer instead of holding it (and the library thread that runs it) for ever.
void bound_link(int fd, int seconds);

// How a command ends. The first claim decides the exit status and the last words, which it shows at
// once; the command's main thread returns the status from main once its loop is over. A claim from
// another thread (a signal's watcher, a link's thread) also ends the coordinator link given to
// wake_through(), so that the main thread's process() returns and finds the end claimed.
// One per command, owned by its run function; any thread.
class Ending {
public:
    // Claims the end with `status` once `progress` told it: `text` on the status line and `message` in
    // a line of its own, or for --json an error event (none for status 0). true for the first claim; a
    // later one changes and shows nothing.
    bool claim(Progress& progress, int status, const std::string& text, const std::string& message)
        ZEL_EXCLUDES(m_mutex);
    // The same, with nothing to show.
    bool claim(int status) ZEL_EXCLUDES(m_mutex);
    // The Caller whose coordinator link a claim ends (null: none). Set before the thread that may
    // claim starts; cleared before the Caller goes.
    void wake_through(Caller* caller) ZEL_EXCLUDES(m_mutex);
    // Brackets the main thread's connect to the coordinator, which nothing wakes (a host that drops
    // its packets holds it for minutes): a claim from another thread meanwhile ends the process at
    // once with its status, since nothing is held yet that the kernel's cleanup would not end. false
    // (and no connect) when the end was claimed already.
    bool connecting(bool on) ZEL_EXCLUDES(m_mutex);
    bool claimed() const ZEL_EXCLUDES(m_mutex);
    // The status claimed, else `otherwise`.
    int status(int otherwise = EXIT_DONE) const ZEL_EXCLUDES(m_mutex);

private:
    bool take(int status) ZEL_EXCLUDES(m_mutex);

    mutable zel::Mutex m_mutex;  // guards what follows; a leaf but for ending the link, done under it
    bool m_claimed ZEL_GUARDED_BY(m_mutex) = false;
    int m_status ZEL_GUARDED_BY(m_mutex) = EXIT_DONE;
    Caller* m_wake ZEL_GUARDED_BY(m_mutex) = nullptr;
    bool m_connecting ZEL_GUARDED_BY(m_mutex) = false;
    pthread_t m_connector ZEL_GUARDED_BY(m_mutex){};
};

// Flushes the standard streams and the log: the last step of a command before main returns `status`.
int leave(int status);

// The library runs a bridge on a thread of its own, batched when the process runs the default policy:
// a woken batch thread does not preempt the one that runs, which spares the rendezvous's message loops
// switches. A transfer is a pipeline with other processes (tar, a pager, the peer on this machine)
// that wake-up preemption keeps fed, so each bridge of ours runs under the policy the process started
// with. keep_process_policy() notes it, on the main thread before the library starts a thread;
// take_process_policy() gives it to the calling thread (the library puts its own back afterwards).
void keep_process_policy();
void take_process_policy();

}  // namespace tqr

#endif
