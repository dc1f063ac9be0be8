// The encrypted mode of `tqr` (the default): transfers stay private although the library's key check
// shows the conference key to whoever watches the direct link (each side reveals half of it, the sender
// the even characters and the endstation the odd ones).
//
// Keys. From the user's key K and the conference identifier C, BLAKE2b-256 with two personalisations
// makes two keys that tell nothing about each other or about K:
//   check key        personal "tqr check key 1": the library's conference key, as 64 hex characters.
//                    The key check reveals it.
//   transfer secret  personal "tqr transfer 1": never leaves the process.
// Both hash the same message, length of C (2 bytes, big-endian), C, K; so the same K gives other keys
// in another conference.
//
// The direct link, once the library handed the socket over (each step: both sides write, then read):
//   hello    "TQRSEC03", role ('S' sender, 'E' endstation), an ephemeral X25519 public key (32 bytes).
//            A sender that serves no more endstations (its --count is reached) writes only the magic
//            and 'F', and closes the link; one that turns the endstation's address away for now (after
//            wrong codes from it) writes the magic, 'W' and the seconds to wait (1 byte).
//   confirm  a 32-byte MAC, checked in constant time. A side that gets a wrong one closes the link
//            without sending anything more.
//   sender -> endstation: the secretstream header (24 bytes), then chunks, each a length (4 bytes,
//            big-endian) and a crypto_secretstream_xchacha20poly1305 message:
//              header  payload length (8 bytes, big-endian; all ones when streamed), kind (1: 'F' file,
//                      'S' stream, 'T' folder, 'M' a set of files and folders
//                      (a folder archive whose entries go apart), 'X' a text of at most 64 KiB; 'N': nothing, the
//                      sender served its --count meanwhile, and this is the stream's last chunk),
//                      name length (2), name
//   endstation -> sender: start (8 bytes: where the sender is to begin, all ones: the endstation
//            declines the payload), kept (32: the kept MAC of the start bytes the endstation holds,
//            zeros when start is 0) and a 32-byte MAC of the header chunk's plaintext, start and kept.
//            Only a file starts elsewhere than at 0, at most at its length.
//   sender -> endstation, chunks again:
//              from    where the data begins (8): start when the sender's own first start bytes give
//                      the same kept MAC, otherwise 0 (the file changed since: the endstation drops
//                      what it kept)
//              data    at most 64 KiB of payload each, from `from` on (none when nothing is left)
//              end     payload length (8), checksum of header, start, kept, from and data (16); the
//                      only FINAL tag
//            The sender reads its file and writes the link a MiB at a time (many chunks per write).
//   endstation -> sender: 'A' and a 32-byte receipt MAC of the end message, or 'N'.
//
// Derivations (BLAKE2b-256 with key, personalisation and message; kx: crypto_kx with the sender as the
// server, s2c and c2s its two session keys):
//   T          BLAKE2b-512, personal "tqr transcript 1", message: length of C (2), C, sender's hello,
//              endstation's hello (so both public keys, the roles and the conference)
//   M          key: transfer secret, personal "tqr session 1",   message: s2c, c2s, T
//   confirm    key: M, personal "tqr confirm S 1" (the sender's) or "tqr confirm E 1", message: T
//   stream key key: M, personal "tqr stream 1", message: T
//   checksum   key: M, personal "tqr checksum 1", message: T; the checksum: Poly1305 (crypto_onetimeauth)
//              with it, of header and data
//   receipt    key: M, personal "tqr receipt 1", message: T; the receipt MAC: key it, message: end
//   start MAC  key: the receipt key, personal "tqr resume 1", message: header plaintext, start, kept
//   kept MAC   key: the receipt key, personal "tqr kept 1", message: start, BLAKE2b-256 of the first
//              start bytes (so the link shows nothing of what the endstation holds)
//
// The checksum is Poly1305 rather than the plain format's BLAKE2b because BLAKE2b over every byte, on
// top of the cipher, cost half the throughput; a one-time Poly1305 key known only to the two ends makes
// it just as sure a check, at several times the speed.
//
// Someone in the middle who knows the check key but not K can run X25519 with each side, but cannot make
// either confirm MAC, nor read or change the payload: every key that protects it depends on the transfer
// secret. Pure functions of their arguments, like payload.h: one link per thread, many at once.
//
// A link opened with a short code confirms with CPace instead (code_link.h) and then uses the same
// sealed stream, checksum and receipt with the keys that CPace gave.
#ifndef ZEL_TOOLS_TQR_TRANSFER_SECURE_H
#define ZEL_TOOLS_TQR_TRANSFER_SECURE_H

#include <cstddef>
#include <functional>
#include <string>

#include "transfer/payload.h"

namespace tqr {

constexpr size_t kSecretBytes = 32;
constexpr size_t kEndBytes = 8 + 16;  // the end message: payload length and checksum

// The two keys of one conference, derived from the user's key. Secrets are wiped when it goes.
class LinkKeys {
public:
    LinkKeys(const std::string& key, const std::string& conference);
    ~LinkKeys();
    LinkKeys(const LinkKeys&) = delete;
    LinkKeys& operator=(const LinkKeys&) = delete;

    // The library's conference key: printable, and harmless to reveal.
    const std::string& check_key() const { return m_check_key; }
    const std::string& conference() const { return m_conference; }
    const unsigned char* transfer_secret() const { return m_secret; }

private:
    std::string m_conference;
    std::string m_check_key;
    unsigned char m_secret[kSecretBytes];
};

// What a confirmed link protects its payload with. Wiped when it goes.
struct Session {
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    unsigned char stream_key[kSecretBytes];
    unsigned char checksum_key[kSecretBytes];
    unsigned char receipt_key[kSecretBytes];
    unsigned retry_seconds = 0;  // CONFIRM_LATER: how long the sender asked this address to wait
};

enum ConfirmResult {
    CONFIRMED,
    CONFIRM_MISMATCH,  // the peer's MAC is wrong: it holds another key, or someone in the middle answered
    CONFIRM_ENDED,     // the link ended or stalled before the peer's hello or MAC was in
    CONFIRM_FOREIGN,   // the peer does not speak this layer (plain format, or the same role as ours)
    CONFIRM_FINISHED,  // endstation: the sender serves no more endstations (finished_hello)
    CONFIRM_LATER,     // endstation: the sender turns this address away for a while (later_hello)
};

// Hello and key confirmation on `fd`, from the sender's side when `sender` is set. On CONFIRMED,
// `session` holds the keys of this link.
ConfirmResult confirm_link(int fd, bool sender, const LinkKeys& keys, Session* session);

// A hello opens each encrypted layer: its magic, the role ('S' sender, 'E' endstation), then `body`.
constexpr size_t kMagicBytes = 8;
constexpr size_t kHelloHeadBytes = kMagicBytes + 1;
// Writes our hello into `mine` and on `fd`, then reads the peer's into `theirs` (both
// kHelloHeadBytes + body_size). CONFIRMED when the peer speaks the same layer from the other role.
ConfirmResult exchange_hello(int fd, bool sender, const char magic[kMagicBytes], const unsigned char* body,
                             size_t body_size, unsigned char* mine, unsigned char* theirs);

// What a sender tells an endstation it will not serve, in place of its hello: `magic` and 'F'.
void finished_hello(int fd, const char magic[kMagicBytes]);
// What a sender tells an endstation whose address is to wait before its next try (a code's failed
// confirmations are rate-limited by address), in place of its hello: `magic`, 'W' and the seconds to
// wait (1 byte, at most 255). The endstation's exchange_hello then gives CONFIRM_LATER with those
// seconds in the first byte of `theirs` after the head.
void later_hello(int fd, const char magic[kMagicBytes], unsigned seconds);
const char* key_hello_magic();

enum SendResult {
    SENT,
    SEND_FAILED,    // the link failed, the start was forged, or the source could not be read
    SEND_DECLINED,  // the endstation declined the payload (it keeps a file of that name, say)
};

// Tells a confirmed endstation that the sender served its --count meanwhile: a header of kind
// KIND_NONE, the stream's last chunk. false when it could not be written.
bool send_served_out(int fd, const Session& session);
// Sends what `offer` announces, its bytes from `read`, as sealed chunks from where the endstation asks
// to start when its kept bytes are the start of `read`'s (then `*start`; otherwise from 0). `end`
// receives the end message (for the receipt). With `lend`, the bytes come from it instead, always from
// the start, and `read` may be empty.
SendResult send_sealed(int fd, const Session& session, const PayloadHeader& offer, const ReadFunction& read,
                       const ByteCounter& counter, unsigned char end[kEndBytes], uint64_t* start,
                       const LendFunction& lend = nullptr);

// What an endstation that kept the first bytes of a file tells receive_sealed: `hash` their BLAKE2b-256
// (false: cannot tell), and `restart` drops them when the sender found that they are not the start of
// its file any more (false: could not), so that the payload comes from 0.
struct KeptPart {
    std::function<bool(unsigned char out[kIdentityBytes])> hash;
    std::function<bool()> restart;
};

// Reads the sealed payload: `begin` once the header chunk is open (it may ask for a later start of a
// file, which needs `kept`; false declines the payload), `write` for verified data as it comes (a
// batch of whole chunks, so `write` may pass it on at once). `counter` counts from where the data
// began. RECEIVED_CORRUPT for any chunk that was forged, changed, replayed, reordered or taken from
// another link; RECEIVED_SHORT when the link ended before the end chunk. On RECEIVED_INTACT `end`
// holds the end message.
ReceiveResult receive_sealed(int fd, const Session& session, const BeginFunction& begin, const WriteFunction& write,
                             const ByteCounter& counter, unsigned char end[kEndBytes], const KeptPart* kept = nullptr);

// The endstation's answer: intact with a receipt of `end`, or damaged. false when it could not be written.
bool send_receipt(int fd, const Session& session, bool intact, const unsigned char end[kEndBytes]);
// 1 a valid receipt of `end`, 0 damaged (or a forged receipt), -1 no answer within `timeout_ms`.
int wait_receipt(int fd, const Session& session, const unsigned char end[kEndBytes], int timeout_ms);

// The check words of a confirmed link, for two people to compare (--verify): kCheckWords words of the
// code list, 11 bits each of BLAKE2b-64 keyed with the receipt key, personal "tqr check word 1", of
// nothing. Both ends get the same words; someone in the middle, who holds other session keys with
// each end, makes both ends show words that match by chance only (2^-44).
constexpr size_t kCheckWords = 4;
std::string check_words(const Session& session);

// A fresh key for a person to read out and type: 140 random bits as 28 base32 letters and digits in
// groups of four, "ABCD-EFGH-...".
std::string generate_key();
// The same key however it was typed: a key that is 28 base32 characters once blanks and dashes are gone
// comes back in the grouped upper-case form of generate_key; any other key comes back unchanged.
std::string normalise_key(const std::string& key);

}  // namespace tqr

#endif
