#include "transfer/secure.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "code/words.h"
#include "transfer/seal.h"

namespace tqr {

using namespace seal;

LinkKeys::LinkKeys(const std::string& key, const std::string& conference) : m_conference(conference) {
    ensure_sodium();
    std::string prefix = length_prefixed(conference);
    Wiped<kSecretBytes> check;
    hash(check.bytes, sizeof check.bytes, nullptr, 0, "tqr check key 1",
         {{prefix.data(), prefix.size()}, {key.data(), key.size()}});
    char hex[2 * kSecretBytes + 1];
    sodium_bin2hex(hex, sizeof hex, check.bytes, sizeof check.bytes);
    m_check_key = hex;
    hash(m_secret, sizeof m_secret, nullptr, 0, "tqr transfer 1", {{prefix.data(), prefix.size()}, {key.data(), key.size()}});
}

LinkKeys::~LinkKeys() { sodium_memzero(m_secret, sizeof m_secret); }

Session::~Session() {
    sodium_memzero(stream_key, sizeof stream_key);
    sodium_memzero(checksum_key, sizeof checksum_key);
    sodium_memzero(receipt_key, sizeof receipt_key);
}

ConfirmResult confirm_link(int fd, bool sender, const LinkKeys& keys, Session* session) {
    ensure_sodium();
    unsigned char public_key[crypto_kx_PUBLICKEYBYTES];
    Wiped<crypto_kx_SECRETKEYBYTES> secret_key;
    crypto_kx_keypair(public_key, secret_key.bytes);

    unsigned char mine[kHelloBytes];
    unsigned char theirs[kHelloBytes];
    ConfirmResult hello = exchange_hello(fd, sender, kHelloMagic, public_key, sizeof public_key, mine, theirs);
    if (hello != CONFIRMED) return hello;
    const unsigned char* peer_key = theirs + kHelloHeadBytes;

    // s2c: sender to endstation, c2s: the other way; the same two keys on both sides.
    Wiped<crypto_kx_SESSIONKEYBYTES> s2c, c2s;
    int kx = sender ? crypto_kx_server_session_keys(c2s.bytes, s2c.bytes, public_key, secret_key.bytes, peer_key)
                    : crypto_kx_client_session_keys(s2c.bytes, c2s.bytes, public_key, secret_key.bytes, peer_key);
    // A peer key of low order would make the exchange worthless: only someone in the middle sends one.
    if (kx != 0) return CONFIRM_MISMATCH;

    const unsigned char* hello_sender = sender ? mine : theirs;
    const unsigned char* hello_endstation = sender ? theirs : mine;
    std::string conference = length_prefixed(keys.conference());
    unsigned char transcript[kTranscriptBytes];
    hash(transcript, sizeof transcript, nullptr, 0, "tqr transcript 1",
         {{conference.data(), conference.size()}, {hello_sender, kHelloBytes}, {hello_endstation, kHelloBytes}});
    Wiped<kSecretBytes> master;
    hash(master.bytes, sizeof master.bytes, keys.transfer_secret(), kSecretBytes, "tqr session 1",
         {{s2c.bytes, sizeof s2c.bytes}, {c2s.bytes, sizeof c2s.bytes}, {transcript, sizeof transcript}});

    Wiped<kMacBytes> my_mac, expected;
    hash(my_mac.bytes, kMacBytes, master.bytes, sizeof master.bytes, sender ? "tqr confirm S 1" : "tqr confirm E 1",
         {{transcript, sizeof transcript}});
    hash(expected.bytes, kMacBytes, master.bytes, sizeof master.bytes, sender ? "tqr confirm E 1" : "tqr confirm S 1",
         {{transcript, sizeof transcript}});
    if (!send_all(fd, my_mac.bytes, kMacBytes)) return CONFIRM_ENDED;
    unsigned char their_mac[kMacBytes];
    if (recv_all(fd, their_mac, sizeof their_mac) < sizeof their_mac) return CONFIRM_ENDED;
    if (crypto_verify_32(their_mac, expected.bytes) != 0) return CONFIRM_MISMATCH;

    hash(session->stream_key, kSecretBytes, master.bytes, sizeof master.bytes, "tqr stream 1",
         {{transcript, sizeof transcript}});
    hash(session->checksum_key, kSecretBytes, master.bytes, sizeof master.bytes, "tqr checksum 1",
         {{transcript, sizeof transcript}});
    hash(session->receipt_key, kSecretBytes, master.bytes, sizeof master.bytes, "tqr receipt 1",
         {{transcript, sizeof transcript}});
    return CONFIRMED;
}

ConfirmResult exchange_hello(int fd, bool sender, const char magic[kMagicBytes], const unsigned char* body,
                             size_t body_size, unsigned char* mine, unsigned char* theirs) {
    memcpy(mine, magic, kMagicBytes);
    mine[kMagicBytes] = sender ? 'S' : 'E';
    memcpy(mine + kHelloHeadBytes, body, body_size);
    size_t size = kHelloHeadBytes + body_size;
    if (!send_all(fd, mine, size)) return CONFIRM_ENDED;
    // The head first: a finished sender sends nothing else.
    size_t got = recv_all(fd, theirs, kHelloHeadBytes);
    if (memcmp(theirs, magic, std::min(got, kMagicBytes)) != 0) return CONFIRM_FOREIGN;
    if (got < kHelloHeadBytes) return CONFIRM_ENDED;
    if (!sender && theirs[kMagicBytes] == kFinishedRole) return CONFIRM_FINISHED;
    if (!sender && theirs[kMagicBytes] == kLaterRole && body_size > 0)
        return recv_all(fd, theirs + kHelloHeadBytes, 1) == 1 ? CONFIRM_LATER : CONFIRM_ENDED;
    if (theirs[kMagicBytes] != (sender ? 'E' : 'S')) return CONFIRM_FOREIGN;
    return recv_all(fd, theirs + kHelloHeadBytes, body_size) == body_size ? CONFIRMED : CONFIRM_ENDED;
}

void finished_hello(int fd, const char magic[kMagicBytes]) {
    unsigned char head[kHelloHeadBytes];
    memcpy(head, magic, kMagicBytes);
    head[kMagicBytes] = kFinishedRole;
    send_all(fd, head, sizeof head);
}

void later_hello(int fd, const char magic[kMagicBytes], unsigned seconds) {
    unsigned char head[kHelloHeadBytes + 1];
    memcpy(head, magic, kMagicBytes);
    head[kMagicBytes] = kLaterRole;
    head[kHelloHeadBytes] = static_cast<unsigned char>(std::min(seconds, 255u));
    send_all(fd, head, sizeof head);
}

const char* key_hello_magic() { return kHelloMagic; }

std::string generate_key() {
    ensure_sodium();
    std::string key;
    for (size_t i = 0; i < kKeyLetters; ++i) {
        if (i > 0 && i % kKeyGroup == 0) key += '-';
        key += kBase32[randombytes_uniform(32)];
    }
    return key;
}

std::string normalise_key(const std::string& key) {
    std::string letters;
    for (char c : key) {
        if (c == '-' || isspace(static_cast<unsigned char>(c))) continue;
        char upper = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        if (strchr(kBase32, upper) == nullptr || upper == '\0') return key;
        letters += upper;
    }
    if (letters.size() != kKeyLetters) return key;
    std::string grouped;
    for (size_t i = 0; i < letters.size(); ++i) {
        if (i > 0 && i % kKeyGroup == 0) grouped += '-';
        grouped += letters[i];
    }
    sodium_memzero(&letters[0], letters.size());
    return grouped;
}

std::string check_words(const Session& session) {
    unsigned char digest[8];
    hash(digest, sizeof digest, session.receipt_key, kSecretBytes, "tqr check word 1", {});
    uint64_t bits = get_be(digest, sizeof digest);
    std::string words;
    for (size_t i = 0; i < kCheckWords; ++i) {
        words += (i == 0 ? "" : "-") + std::string(g_code_words[bits >> (64 - 11 * (i + 1)) & (kCodeWordCount - 1)]);
    }
    return words;
}

}  // namespace tqr
