// The key confirmation of a link that a short code opened (words.h): a CPace run (pake.h) on the
// socket the library handed over, whose output keys the sealed stream, checksum and receipt of
// secure.h in place of the X25519 exchange of a conference key.
//
// The library's key check before it used the nameplate's key (public), so all that protects the link
// is here. On the direct link, C being conference_of(nameplate):
//   hello  "TQRPAK03", role ('S' sender, 'E' endstation), 16 random bytes       both write, then read
//          (or from a sender that serves no more endstations: the magic and 'F' only; from one that
//          turns the endstation's address away for now, after wrong codes from it: the magic, 'W' and
//          the seconds to wait; see secure.h)
//   share  the CPace share Y (32 bytes), AD length (1 byte), AD                  both write, then read
//          AD: "tqr1 sender C" or "tqr1 endstation C"
//   tags   endstation -> sender: the endstation's tag (64 bytes). The sender checks it and closes the
//          link without another byte when it is wrong; otherwise sender -> endstation: its own tag.
//          (A sender whose code has had its tries for the minute checks none: in place of its tag,
//          the magic, 'W', the seconds to wait and zeros, 64 bytes.)
// CPace: the sender is the initiator; PRS: code_password(code); CI: channel_identifier(C); sid: the
// sender's random bytes, the endstation's, then C. Keys, each derive()d from ISK once both tags
// matched: "tqr stream 1", "tqr checksum 1", "tqr receipt 1".
//
// The endstation's tag goes first because a tag is the one thing that tests a guess of the words, and
// the sender is the side that serves one code to many tries: an endstation that guessed sees nothing
// of the sender's run but a closed link, and the sender counts every such failure, by address (see
// send_state.h for how it limits them). A false sender can
// test one guess against the one run of `tqr receive` it answers, which then ends.
//
// Pure functions of their arguments: one link per thread, many at once.
#ifndef ZEL_TOOLS_TQR_CODE_CODE_LINK_H
#define ZEL_TOOLS_TQR_CODE_CODE_LINK_H

#include <string>

#include "transfer/secure.h"
#include "code/words.h"

namespace tqr {

constexpr size_t kCodeNonceBytes = 16;
constexpr size_t kCodeHelloBytes = kHelloHeadBytes + kCodeNonceBytes;

// The hello's magic, for finished_hello.
const char* code_hello_magic();

// The AD of one side of a run in `conference`.
std::string code_ad(bool sender, const std::string& conference);
// The sid of a run: both sides' random bytes, then the conference.
std::string code_sid(const unsigned char* sender_nonce, const unsigned char* endstation_nonce,
                     const std::string& conference);

// The sender's say over each test of a guess at the code: enter() once the endstation's tag is in and
// before it is checked: 0 to check it, else the seconds the endstation is to wait (the tag is not
// checked, the endstation is told so in place of the sender's tag, and both runs end with
// CONFIRM_LATER); leave() right after the check. A link counts toward the code's budget only for that
// instant, so one that stalls before its tag holds no place in it.
class TagGate {
public:
    virtual ~TagGate() = default;
    virtual unsigned enter() = 0;
    virtual void leave(bool matched) = 0;
};

// The run on `fd` from the sender's side when `sender` is set. CONFIRMED with the link's keys in
// `session`; CONFIRM_MISMATCH when the peer's tag is wrong (on the endstation: also when the sender
// closed the link instead of answering its tag, which is how a sender refuses); CONFIRM_ENDED when the
// link ended or stalled before that (or this thread's LinkDeadline passed); CONFIRM_LATER (endstation)
// with `session->retry_seconds` when the sender turned this address away for now; CONFIRM_FOREIGN when
// the peer speaks another layer or sent a share that is no usable element. `gate` (sender): see TagGate.
ConfirmResult confirm_code(int fd, bool sender, const Code& code, Session* session, TagGate* gate = nullptr);

}  // namespace tqr

#endif
