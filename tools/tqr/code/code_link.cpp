#include "code/code_link.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

#include "code/pake.h"
#include "transfer/seal.h"

namespace tqr {

namespace {

const char kCodeMagic[kMagicBytes] = {'T', 'Q', 'R', 'P', 'A', 'K', '0', '3'};
constexpr size_t kMaxAdBytes = 255;  // its length goes in one byte

// Sends our share and AD, reads the peer's share and checks that its AD is the other role's of the
// same conference; then finishes the run.
ConfirmResult exchange_shares(int fd, CpaceSession* cpace, const std::string& own_ad, const std::string& peer_ad) {
    std::string out(reinterpret_cast<const char*>(cpace->share()), kPakeShareBytes);
    out += static_cast<char>(own_ad.size());
    out += own_ad;
    if (!send_all(fd, out.data(), out.size())) return CONFIRM_ENDED;

    unsigned char peer_share[kPakeShareBytes + 1];
    if (recv_all(fd, peer_share, sizeof peer_share) < sizeof peer_share) return CONFIRM_ENDED;
    std::string ad(peer_share[kPakeShareBytes], '\0');
    if (!ad.empty() && recv_all(fd, &ad[0], ad.size()) < ad.size()) return CONFIRM_ENDED;
    if (ad != peer_ad) return CONFIRM_FOREIGN;
    return cpace->finish(peer_share, own_ad, peer_ad) ? CONFIRMED : CONFIRM_FOREIGN;
}

// In place of the sender's tag, when it checks none now: the hello's magic, its role for "later", the
// seconds to wait, zeros. A tag begins so with a chance of 2^-72.
// The tags, the endstation's first (see code_link.h).
ConfirmResult exchange_tags(int fd, bool sender, CpaceSession* cpace, TagGate* gate, Session* session) {
    unsigned char peer_tag[kPakeTagBytes];
    if (sender) {
        if (recv_all(fd, peer_tag, sizeof peer_tag) < sizeof peer_tag) return CONFIRM_ENDED;
        if (unsigned wait = gate != nullptr ? gate->enter() : 0) {
            unsigned char later[kPakeTagBytes] = {};
            memcpy(later, kCodeMagic, kMagicBytes);
            later[kMagicBytes] = seal::kLaterRole;
            later[kMagicBytes + 1] = static_cast<unsigned char>(std::min(wait, 255u));
            send_all(fd, later, sizeof later);
            return CONFIRM_LATER;
        }
        bool matched = cpace->confirm(peer_tag);
        if (gate != nullptr) gate->leave(matched);
        if (!matched) return CONFIRM_MISMATCH;
        return send_all(fd, cpace->own_tag(), kPakeTagBytes) ? CONFIRMED : CONFIRM_ENDED;
    }
    if (!send_all(fd, cpace->own_tag(), kPakeTagBytes)) return CONFIRM_ENDED;
    size_t got = recv_all(fd, peer_tag, sizeof peer_tag);
    if (got == 0) return CONFIRM_MISMATCH;
    if (got < sizeof peer_tag) return CONFIRM_ENDED;
    // Unauthenticated, like the hello: anyone on the link could send it, so only what a sender sends
    // (1 to 60 s) is taken for it, and the receiver's line says who else may have.
    if (memcmp(peer_tag, kCodeMagic, kMagicBytes) == 0 && peer_tag[kMagicBytes] == seal::kLaterRole &&
        peer_tag[kMagicBytes + 1] >= 1 && peer_tag[kMagicBytes + 1] <= 60 &&
        sodium_is_zero(peer_tag + kMagicBytes + 2, sizeof peer_tag - kMagicBytes - 2)) {
        session->retry_seconds = peer_tag[kMagicBytes + 1];
        return CONFIRM_LATER;
    }
    return cpace->confirm(peer_tag) ? CONFIRMED : CONFIRM_MISMATCH;
}

}  // namespace

const char* code_hello_magic() { return kCodeMagic; }

std::string code_ad(bool sender, const std::string& conference) {
    return (sender ? "tqr1 sender " : "tqr1 endstation ") + conference.substr(0, kMaxAdBytes - 16);
}

std::string code_sid(const unsigned char* sender_nonce, const unsigned char* endstation_nonce,
                     const std::string& conference) {
    return std::string(reinterpret_cast<const char*>(sender_nonce), kCodeNonceBytes) +
           std::string(reinterpret_cast<const char*>(endstation_nonce), kCodeNonceBytes) + conference;
}

ConfirmResult confirm_code(int fd, bool sender, const Code& code, Session* session, TagGate* gate) {
    ensure_sodium();
    std::string conference = conference_of(code.nameplate);
    unsigned char nonce[kCodeNonceBytes];
    random_bytes(nonce, sizeof nonce);
    unsigned char mine[kCodeHelloBytes], theirs[kCodeHelloBytes];
    ConfirmResult hello = exchange_hello(fd, sender, kCodeMagic, nonce, sizeof nonce, mine, theirs);
    if (hello == CONFIRM_LATER) session->retry_seconds = theirs[kHelloHeadBytes];
    if (hello != CONFIRMED) return hello;

    const unsigned char* sender_nonce = (sender ? mine : theirs) + kHelloHeadBytes;
    const unsigned char* endstation_nonce = (sender ? theirs : mine) + kHelloHeadBytes;
    std::string password = code_password(code);
    CpaceSession cpace(sender, password, channel_identifier(conference),
                       code_sid(sender_nonce, endstation_nonce, conference));
    sodium_memzero(&password[0], password.size());
    ConfirmResult result = exchange_shares(fd, &cpace, code_ad(sender, conference), code_ad(!sender, conference));
    if (result == CONFIRMED) result = exchange_tags(fd, sender, &cpace, gate, session);
    if (result != CONFIRMED) return result;
    cpace.derive("tqr stream 1", session->stream_key, kSecretBytes);
    cpace.derive("tqr checksum 1", session->checksum_key, kSecretBytes);
    cpace.derive("tqr receipt 1", session->receipt_key, kSecretBytes);
    return CONFIRMED;
}

}  // namespace tqr
