// CPace (suite CPACE-RISTRETTO255-SHA512): turns the words of a short code into a strong key shared by
// the two ends of a direct link. Someone who relays or watches the exchange can test one guess of the
// words per live run and nothing offline.
//
// Byte strings are std::string throughout (binary, not text). The building blocks are public so that
// the published vectors can pin each of them.
//
// One run, each side (A the initiator, whose share comes first in the transcript: the sender):
//   CpaceSession session(initiator, words, channel_identifier(conference), sid);
//   send session.share() with our AD; read the peer's share and AD
//   session.finish(peer_share, own_ad, peer_ad)   false: abort the link
//   send session.own_tag(); read the peer's tag
//   session.confirm(peer_tag)                     false: wrong words, or someone in the middle
//   session.derive("tqr stream 1", key, 32) ...   keys for everything that follows
// The two ADs must differ (put the role in them): with equal ADs a peer that echoes our own share and
// tag would look confirmed, although it learns no key.
#ifndef ZEL_TOOLS_TQR_CODE_PAKE_H
#define ZEL_TOOLS_TQR_CODE_PAKE_H

#include <cstddef>
#include <initializer_list>
#include <string>

namespace tqr {

constexpr size_t kPakeShareBytes = 32;  // a ristretto255 element
constexpr size_t kPakeScalarBytes = 32;
constexpr size_t kPakeIskBytes = 64;
constexpr size_t kPakeTagBytes = 64;    // HMAC-SHA-512
constexpr size_t kPakeHashBlockBytes = 128;

extern const char kCpaceDsi[];     // "CPaceRistretto255"
extern const char kCpaceDsiIsk[];  // "CPaceRistretto255_ISK"

// The length of `data` in LEB128, then `data`.
std::string prepend_len(const std::string& data);
// prepend_len of each part, in order.
std::string lv_cat(std::initializer_list<std::string> parts);
// lv_cat(dsi, prs, zero padding, ci, sid): the zeros fill the first hash block after DSI and PRS.
std::string generator_string(const std::string& dsi, const std::string& prs, const std::string& ci,
                             const std::string& sid, size_t s_in_bytes);
// The password's generator: the element that SHA-512 of the generator string maps to.
void calculate_generator(const std::string& prs, const std::string& ci, const std::string& sid,
                         unsigned char g[kPakeShareBytes]);
// lv_cat(ya, ada) || lv_cat(yb, adb), A the initiator.
std::string transcript_ir(const std::string& ya, const std::string& ada, const std::string& yb,
                          const std::string& adb);

// The channel identifier of a link in `conference`: both role names and the conference, so that a run
// cannot be replayed into another conference.
std::string channel_identifier(const std::string& conference);

// One CPace run for one side of one link. Owned by whoever runs the link, used by one thread at a time.
// Every secret (scalar, K, ISK, MAC key) is wiped when it goes.
class CpaceSession {
public:
    // `scalar`, 32 bytes little-endian, fixes the private scalar (for the vectors); null draws one.
    CpaceSession(bool initiator, const std::string& prs, const std::string& ci, const std::string& sid,
                 const unsigned char* scalar = nullptr);
    ~CpaceSession();
    CpaceSession(const CpaceSession&) = delete;
    CpaceSession& operator=(const CpaceSession&) = delete;

    // Our share Y, to send. All zero (and finish refuses) when the scalar gives no element.
    const unsigned char* share() const { return m_share; }

    // Computes K and ISK from the peer's share and both ADs, and both confirmation tags. false, and
    // nothing more to do, for a share that is no valid encoding, our own share echoed, or one that makes
    // K the identity; also when called twice.
    bool finish(const unsigned char peer_share[kPakeShareBytes], const std::string& own_ad,
                const std::string& peer_ad);

    // Our confirmation tag, to send once finish succeeded: HMAC-SHA-512 keyed with
    // SHA-512("CPaceMac" || sid || ISK), of lv_cat(our share, our AD). The peer's is the same of its own.
    const unsigned char* own_tag() const { return m_own_tag; }
    // Checks the peer's tag in constant time. true only after a successful finish and a matching tag.
    bool confirm(const unsigned char peer_tag[kPakeTagBytes]);
    bool confirmed() const { return m_state == RUN_CONFIRMED; }

    // ISK, once finish succeeded. Nothing should rely on it before confirm succeeded.
    const unsigned char* isk() const { return m_isk; }

    // A key for `label` (at most 16 characters): BLAKE2b keyed with ISK, personalised with the label,
    // `size` bytes (16 to 64). false before confirm succeeded or for a size or label out of range.
    bool derive(const char* label, unsigned char* out, size_t size) const;

private:
    enum State { RUN_STARTED, RUN_NO_SHARE, RUN_FINISHED, RUN_CONFIRMED, RUN_FAILED };

    bool m_initiator;
    std::string m_sid;
    State m_state = RUN_STARTED;
    unsigned char m_scalar[kPakeScalarBytes];
    unsigned char m_share[kPakeShareBytes] = {};
    unsigned char m_isk[kPakeIskBytes] = {};
    unsigned char m_own_tag[kPakeTagBytes] = {};
    unsigned char m_peer_tag[kPakeTagBytes] = {};
};

}  // namespace tqr

#endif
