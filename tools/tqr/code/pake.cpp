#include "code/pake.h"

#include <sodium.h>

#include <cstring>

#include "transfer/payload.h"

namespace tqr {

const char kCpaceDsi[] = "CPaceRistretto255";
const char kCpaceDsiIsk[] = "CPaceRistretto255_ISK";

namespace {

static_assert(kPakeShareBytes == crypto_core_ristretto255_BYTES, "share size");
static_assert(kPakeScalarBytes == crypto_core_ristretto255_SCALARBYTES, "scalar size");
static_assert(kPakeIskBytes == crypto_hash_sha512_BYTES, "ISK size");
static_assert(kPakeTagBytes == crypto_auth_hmacsha512_BYTES, "tag size");
static_assert(crypto_core_ristretto255_HASHBYTES == crypto_hash_sha512_BYTES, "generator input size");

const char kMacLabel[] = "CPaceMac";

std::string bytes(const unsigned char* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

void wipe(std::string* text) {
    if (!text->empty()) sodium_memzero(&(*text)[0], text->size());
}

// HMAC-SHA-512 under the whole 64-byte MAC key (the one-shot API takes only 32 key bytes).
void mac(const unsigned char key[crypto_hash_sha512_BYTES], const std::string& message,
         unsigned char out[kPakeTagBytes]) {
    crypto_auth_hmacsha512_state state;
    crypto_auth_hmacsha512_init(&state, key, crypto_hash_sha512_BYTES);
    crypto_auth_hmacsha512_update(&state, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    crypto_auth_hmacsha512_final(&state, out);
    sodium_memzero(&state, sizeof state);
}

}  // namespace

std::string prepend_len(const std::string& data) {
    std::string out;
    size_t length = data.size();
    do {
        unsigned char group = static_cast<unsigned char>(length & 0x7F);
        length >>= 7;
        if (length) group |= 0x80;
        out.push_back(static_cast<char>(group));
    } while (length);
    return out + data;
}

std::string lv_cat(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& part : parts) out += prepend_len(part);
    return out;
}

std::string generator_string(const std::string& dsi, const std::string& prs, const std::string& ci,
                             const std::string& sid, size_t s_in_bytes) {
    std::string prefixed_dsi = prepend_len(dsi);
    std::string prefixed_prs = prepend_len(prs);
    size_t used = 1 + prefixed_prs.size() + prefixed_dsi.size();
    size_t zpad = s_in_bytes > used ? s_in_bytes - used : 0;
    std::string out = prefixed_dsi + prefixed_prs + lv_cat({std::string(zpad, '\0'), ci, sid});
    wipe(&prefixed_prs);
    return out;
}

void calculate_generator(const std::string& prs, const std::string& ci, const std::string& sid,
                         unsigned char g[kPakeShareBytes]) {
    ensure_sodium();
    std::string text = generator_string(kCpaceDsi, prs, ci, sid, kPakeHashBlockBytes);
    unsigned char digest[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
    crypto_core_ristretto255_from_hash(g, digest);
    sodium_memzero(digest, sizeof digest);
    wipe(&text);
}

std::string transcript_ir(const std::string& ya, const std::string& ada, const std::string& yb,
                          const std::string& adb) {
    return lv_cat({ya, ada}) + lv_cat({yb, adb});
}

std::string channel_identifier(const std::string& conference) {
    return lv_cat({"sender", "endstation", conference});
}

CpaceSession::CpaceSession(bool initiator, const std::string& prs, const std::string& ci, const std::string& sid,
                           const unsigned char* scalar)
    : m_initiator(initiator), m_sid(sid) {
    ensure_sodium();
    if (scalar)
        memcpy(m_scalar, scalar, sizeof m_scalar);
    else
        crypto_core_ristretto255_scalar_random(m_scalar);
    unsigned char g[kPakeShareBytes];
    calculate_generator(prs, ci, sid, g);
    if (crypto_scalarmult_ristretto255(m_share, m_scalar, g) != 0) {
        sodium_memzero(m_share, sizeof m_share);
        m_state = RUN_NO_SHARE;
    }
    sodium_memzero(g, sizeof g);
}

CpaceSession::~CpaceSession() {
    sodium_memzero(m_scalar, sizeof m_scalar);
    sodium_memzero(m_isk, sizeof m_isk);
    sodium_memzero(m_own_tag, sizeof m_own_tag);
    sodium_memzero(m_peer_tag, sizeof m_peer_tag);
}

bool CpaceSession::finish(const unsigned char peer_share[kPakeShareBytes], const std::string& own_ad,
                          const std::string& peer_ad) {
    if (m_state != RUN_STARTED) return false;
    m_state = RUN_FAILED;
    if (!crypto_core_ristretto255_is_valid_point(peer_share)) return false;
    if (memcmp(peer_share, m_share, kPakeShareBytes) == 0) return false;
    unsigned char k[kPakeShareBytes];
    int product = crypto_scalarmult_ristretto255(k, m_scalar, peer_share);
    sodium_memzero(m_scalar, sizeof m_scalar);
    if (product != 0) return false;  // K is the identity

    std::string own = bytes(m_share, kPakeShareBytes);
    std::string peer = bytes(peer_share, kPakeShareBytes);
    std::string transcript = m_initiator ? transcript_ir(own, own_ad, peer, peer_ad)
                                         : transcript_ir(peer, peer_ad, own, own_ad);
    std::string key_part = bytes(k, sizeof k);
    std::string isk_input = lv_cat({kCpaceDsiIsk, m_sid, key_part}) + transcript;
    crypto_hash_sha512(m_isk, reinterpret_cast<const unsigned char*>(isk_input.data()), isk_input.size());
    sodium_memzero(k, sizeof k);
    wipe(&key_part);
    wipe(&isk_input);

    std::string mac_input = kMacLabel + m_sid + bytes(m_isk, sizeof m_isk);
    unsigned char mac_key[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(mac_key, reinterpret_cast<const unsigned char*>(mac_input.data()), mac_input.size());
    wipe(&mac_input);
    mac(mac_key, lv_cat({own, own_ad}), m_own_tag);
    mac(mac_key, lv_cat({peer, peer_ad}), m_peer_tag);
    sodium_memzero(mac_key, sizeof mac_key);
    m_state = RUN_FINISHED;
    return true;
}

bool CpaceSession::confirm(const unsigned char peer_tag[kPakeTagBytes]) {
    if (m_state != RUN_FINISHED) return false;
    if (crypto_verify_64(peer_tag, m_peer_tag) != 0) {
        // The run is over: no second try, and nothing may use ISK.
        m_state = RUN_FAILED;
        sodium_memzero(m_isk, sizeof m_isk);
        return false;
    }
    m_state = RUN_CONFIRMED;
    return true;
}

bool CpaceSession::derive(const char* label, unsigned char* out, size_t size) const {
    if (m_state != RUN_CONFIRMED || size < crypto_generichash_blake2b_BYTES_MIN ||
        size > crypto_generichash_blake2b_BYTES_MAX)
        return false;
    size_t label_size = strlen(label);
    if (label_size > crypto_generichash_blake2b_PERSONALBYTES) return false;
    unsigned char personal[crypto_generichash_blake2b_PERSONALBYTES] = {};
    memcpy(personal, label, label_size);
    static_assert(kPakeIskBytes <= crypto_generichash_blake2b_KEYBYTES_MAX, "ISK fits BLAKE2b's key");
    return crypto_generichash_blake2b_salt_personal(out, size, nullptr, 0, m_isk, kPakeIskBytes, nullptr,
                                                    personal) == 0;
}

}  // namespace tqr
