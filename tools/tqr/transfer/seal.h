// What the two halves of the sealed format share: the link's confirmation and the key texts
// (secure_link.cpp), and the sealed stream with its receipt (secure_stream.cpp). Internal to those
// two files; secure.h is the interface. Constants and pure functions, any thread.
#ifndef ZEL_TOOLS_TQR_TRANSFER_SEAL_H
#define ZEL_TOOLS_TQR_TRANSFER_SEAL_H

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

#include "transfer/secure.h"

namespace tqr {
namespace seal {

typedef crypto_secretstream_xchacha20poly1305_state StreamState;
constexpr size_t kStreamHeaderBytes = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
constexpr size_t kSealBytes = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr size_t kLengthBytes = 4;
constexpr size_t kMaxChunkBytes = kChunkBytes + kSealBytes;  // the longest sealed chunk a receiver takes
constexpr uint64_t kStreamedSize = ~uint64_t{0};

const char kHelloMagic[kMagicBytes] = {'T', 'Q', 'R', 'S', 'E', 'C', '0', '3'};
constexpr size_t kHelloBytes = kHelloHeadBytes + crypto_kx_PUBLICKEYBYTES;
constexpr size_t kTranscriptBytes = 64;
constexpr size_t kMacBytes = 32;
constexpr size_t kFixedHeaderBytes = 8 + 1 + 2;
constexpr uint64_t kDeclined = ~uint64_t{0};
constexpr char kFinishedRole = 'F';
constexpr char kLaterRole = 'W';

const char kBase32[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr size_t kKeyLetters = 28;  // 140 bits
constexpr size_t kKeyGroup = 4;

// Bytes that hold a secret, wiped however the scope is left.
template <size_t N>
struct Wiped {
    unsigned char bytes[N];
    ~Wiped() { sodium_memzero(bytes, N); }
};

struct Piece {
    const void* data;
    size_t size;
};

// BLAKE2b of the pieces, keyed (key may be null), with `label` as its personalisation.
inline void hash(unsigned char* out, size_t out_size, const unsigned char* key, size_t key_size, const char* label,
          std::initializer_list<Piece> pieces) {
    unsigned char personal[crypto_generichash_blake2b_PERSONALBYTES] = {};
    memcpy(personal, label, std::min(strlen(label), sizeof personal));
    crypto_generichash_blake2b_state state;
    crypto_generichash_blake2b_init_salt_personal(&state, key, key ? key_size : 0, out_size, nullptr, personal);
    for (const Piece& piece : pieces)
        crypto_generichash_blake2b_update(&state, static_cast<const unsigned char*>(piece.data), piece.size);
    crypto_generichash_blake2b_final(&state, out, out_size);
    sodium_memzero(&state, sizeof state);
}

inline std::string length_prefixed(const std::string& text) {
    unsigned char length[2];
    put_be(length, std::min<size_t>(text.size(), 0xFFFF), 2);
    return std::string(reinterpret_cast<char*>(length), 2) + text.substr(0, 0xFFFF);
}

}  // namespace seal
}  // namespace tqr

#endif
