// What `tqr send` and `tqr receive` share: the key options, the way to the coordinator, and the end of
// the process.
#ifndef ZEL_TOOLS_TQR_PARTY_H
#define ZEL_TOOLS_TQR_PARTY_H

#include <memory>
#include <string>

#include "tools/tqr/commands.h"

class Caller;

namespace tqr {

class LinkKeys;

enum KeyOrigin { KEY_FROM_OPTION, KEY_FROM_FILE, KEY_FROM_ENVIRONMENT, KEY_NONE };

// The key from --key, else --key-file (its first line), else the environment's TQR_KEY, else "" (with
// KEY_NONE). false, with `error` set, when the key file cannot be read.
bool resolve_key(const PartyOptions& options, std::string* key, KeyOrigin* origin, std::string* error);

// resolve_key for `command` ("send", "receive"), with a warning on stderr for a key on the command line
// (other users of the machine can read it), and in the encrypted mode normalised (secure.h). EXIT_DONE,
// or EXIT_USAGE_OR_IO after a message on stderr.
int party_key(const PartyOptions& options, const char* command, std::string* key, KeyOrigin* origin);

// The key the library checks on the direct link: `key` itself with --plain; otherwise the check key
// derived from it, with the link keys stored in `keys`. Wipes `key` either way.
std::string library_key(std::string& key, const PartyOptions& options, std::unique_ptr<LinkKeys>* keys);

// "<host name>-<pid>": the nickname when none is given.
std::string default_nickname();

// Connects `caller` to the coordinator as `role` (sender or endstation), starts its reader and walks
// the handshake. EXIT_DONE when joined; otherwise EXIT_NO_COORDINATOR after a message on stderr.
int join_coordinator(Caller* caller, int role, const PartyOptions& options, const std::string& key,
                     const char* command);

// Bounds every later send and receive on a direct link, so that a peer that stops answering ends the
// transfer instead of holding it (and the library thread that runs it) for ever.
void bound_link(int fd, int seconds);

// Flushes the standard streams and ends the process with `status` at once. Library threads (readers,
// listeners) may still hold objects that static destructors would free under them.
[[noreturn]] void finish(int status);

}  // namespace tqr

#endif
