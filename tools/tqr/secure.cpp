#include "tools/tqr/secure.h"

#include <sodium.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace tqr {

namespace {

typedef crypto_secretstream_xchacha20poly1305_state StreamState;
constexpr size_t kStreamHeaderBytes = crypto_secretstream_xchacha20poly1305_HEADERBYTES;
constexpr size_t kSealBytes = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr size_t kLengthBytes = 4;
constexpr size_t kMaxChunkBytes = kChunkBytes + kSealBytes;  // the longest sealed chunk a receiver takes
constexpr uint64_t kStreamedSize = ~uint64_t{0};

const char kHelloMagic[kMagicBytes] = {'T', 'Q', 'R', 'S', 'E', 'C', '0', '2'};
constexpr size_t kHelloBytes = kHelloHeadBytes + crypto_kx_PUBLICKEYBYTES;
constexpr size_t kTranscriptBytes = 64;
constexpr size_t kMacBytes = 32;
constexpr size_t kFixedHeaderBytes = 8 + 1 + kIdentityBytes + 2;
constexpr size_t kStartBytes = 8 + kMacBytes;
constexpr uint64_t kDeclined = ~uint64_t{0};
constexpr char kFinishedRole = 'F';

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
void hash(unsigned char* out, size_t out_size, const unsigned char* key, size_t key_size, const char* label,
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

std::string length_prefixed(const std::string& text) {
    unsigned char length[2];
    put_be(length, std::min<size_t>(text.size(), 0xFFFF), 2);
    return std::string(reinterpret_cast<char*>(length), 2) + text.substr(0, 0xFFFF);
}

// One sealed chunk on the wire: its length, then the ciphertext.
bool push_chunk(int fd, StreamState* state, std::vector<unsigned char>* frame, const unsigned char* data,
                size_t size, unsigned char tag) {
    frame->resize(kLengthBytes + size + kSealBytes);
    put_be(frame->data(), size + kSealBytes, kLengthBytes);
    crypto_secretstream_xchacha20poly1305_push(state, frame->data() + kLengthBytes, nullptr, data, size, nullptr, 0, tag);
    return send_all(fd, frame->data(), frame->size());
}

}  // namespace

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
    if (theirs[kMagicBytes] != (sender ? 'E' : 'S')) return CONFIRM_FOREIGN;
    return recv_all(fd, theirs + kHelloHeadBytes, body_size) == body_size ? CONFIRMED : CONFIRM_ENDED;
}

void finished_hello(int fd, const char magic[kMagicBytes]) {
    unsigned char head[kHelloHeadBytes];
    memcpy(head, magic, kMagicBytes);
    head[kMagicBytes] = kFinishedRole;
    send_all(fd, head, sizeof head);
}

const char* key_hello_magic() { return kHelloMagic; }

namespace {

void start_mac(unsigned char out[kMacBytes], const Session& session, const std::vector<unsigned char>& header,
               const unsigned char start[8]) {
    hash(out, kMacBytes, session.receipt_key, kSecretBytes, "tqr resume 1",
         {{header.data(), header.size()}, {start, 8}});
}

std::vector<unsigned char> header_plaintext(const PayloadHeader& offer) {
    std::string name = offer.name.substr(0, kMaxNameBytes);
    std::vector<unsigned char> header(kFixedHeaderBytes + name.size());
    put_be(header.data(), offer.size_known ? offer.size : kStreamedSize, 8);
    header[8] = static_cast<unsigned char>(offer.kind);
    memcpy(header.data() + 9, offer.identity, kIdentityBytes);
    put_be(header.data() + 9 + kIdentityBytes, name.size(), 2);
    memcpy(header.data() + kFixedHeaderBytes, name.data(), name.size());
    return header;
}

// The header chunk's plaintext, as the sender sealed it. false when it is no header.
bool parse_header(const unsigned char* plain, size_t size, PayloadHeader* header) {
    if (size < kFixedHeaderBytes) return false;
    uint64_t announced = get_be(plain, 8);
    size_t name_length = static_cast<size_t>(get_be(plain + 9 + kIdentityBytes, 2));
    if (name_length > kMaxNameBytes || size != kFixedHeaderBytes + name_length) return false;
    header->kind = static_cast<char>(plain[8]);
    if (header->kind != KIND_FILE && header->kind != KIND_STREAM && header->kind != KIND_TREE) return false;
    header->size_known = announced != kStreamedSize;
    header->size = header->size_known ? announced : 0;
    memcpy(header->identity, plain + 9, kIdentityBytes);
    header->name.assign(reinterpret_cast<const char*>(plain + kFixedHeaderBytes), name_length);
    return true;
}

}  // namespace

SendResult send_sealed(int fd, const Session& session, const PayloadHeader& offer, const ReadFunction& read,
                       const ByteCounter& counter, unsigned char end[kEndBytes], uint64_t* start) {
    ensure_sodium();
    *start = 0;
    StreamState state;
    unsigned char stream_header[kStreamHeaderBytes];
    crypto_secretstream_xchacha20poly1305_init_push(&state, stream_header, session.stream_key);
    if (!send_all(fd, stream_header, sizeof stream_header)) return SEND_FAILED;

    std::vector<unsigned char> header = header_plaintext(offer);
    std::vector<unsigned char> frame;
    frame.reserve(kLengthBytes + kMaxChunkBytes);
    if (!push_chunk(fd, &state, &frame, header.data(), header.size(), 0)) return SEND_FAILED;

    unsigned char asked[kStartBytes];
    if (recv_all(fd, asked, sizeof asked) < sizeof asked) return SEND_FAILED;
    unsigned char expected[kMacBytes];
    start_mac(expected, session, header, asked);
    if (crypto_verify_32(expected, asked + 8) != 0) return SEND_FAILED;
    uint64_t done = get_be(asked, 8);
    if (done == kDeclined) return SEND_DECLINED;
    if (done != 0 && (offer.kind != KIND_FILE || done > offer.size)) return SEND_FAILED;
    *start = done;

    crypto_onetimeauth_state checksum;
    crypto_onetimeauth_init(&checksum, session.checksum_key);
    crypto_onetimeauth_update(&checksum, header.data(), header.size());
    crypto_onetimeauth_update(&checksum, asked, 8);
    std::vector<unsigned char> buffer(kChunkBytes);
    uint64_t total = offer.size_known ? offer.size : 0;
    while (!offer.size_known || done < total) {
        ssize_t n = read(done, buffer.data(), buffer.size());
        if (n < 0) return SEND_FAILED;
        if (n == 0) {
            // A file that shrank since it was opened cannot give what the header promised.
            if (offer.size_known) return SEND_FAILED;
            break;
        }
        if (offer.size_known && static_cast<uint64_t>(n) > total - done) return SEND_FAILED;
        crypto_onetimeauth_update(&checksum, buffer.data(), static_cast<size_t>(n));
        if (!push_chunk(fd, &state, &frame, buffer.data(), static_cast<size_t>(n), 0)) return SEND_FAILED;
        done += static_cast<uint64_t>(n);
        if (counter) counter(done - *start, total);
    }

    put_be(end, done, 8);
    crypto_onetimeauth_final(&checksum, end + 8);
    return push_chunk(fd, &state, &frame, end, kEndBytes, crypto_secretstream_xchacha20poly1305_TAG_FINAL)
               ? SENT
               : SEND_FAILED;
}

ReceiveResult receive_sealed(int fd, const Session& session, const BeginFunction& begin, const WriteFunction& write,
                             const ByteCounter& counter, unsigned char end[kEndBytes]) {
    ensure_sodium();
    unsigned char stream_header[kStreamHeaderBytes];
    size_t got = recv_all(fd, stream_header, sizeof stream_header);
    if (got == 0) return RECEIVED_NOTHING;
    if (got < sizeof stream_header) return RECEIVED_SHORT;
    StreamState state;
    if (crypto_secretstream_xchacha20poly1305_init_pull(&state, stream_header, session.stream_key) != 0)
        return RECEIVED_CORRUPT;

    crypto_onetimeauth_state checksum;
    crypto_onetimeauth_init(&checksum, session.checksum_key);
    std::vector<unsigned char> sealed(kMaxChunkBytes);
    std::vector<unsigned char> plain(kMaxChunkBytes);
    PayloadHeader header;
    bool opened = false;
    uint64_t done = 0;
    uint64_t first = 0;  // where this transfer started
    for (;;) {
        unsigned char length_field[kLengthBytes];
        if (recv_all(fd, length_field, sizeof length_field) < sizeof length_field) return RECEIVED_SHORT;
        size_t length = static_cast<size_t>(get_be(length_field, kLengthBytes));
        if (length < kSealBytes || length > kMaxChunkBytes) return RECEIVED_CORRUPT;
        if (recv_all(fd, sealed.data(), length) < length) return RECEIVED_SHORT;
        unsigned long long size = 0;
        unsigned char tag = 0;
        if (crypto_secretstream_xchacha20poly1305_pull(&state, plain.data(), &size, &tag, sealed.data(), length,
                                                       nullptr, 0) != 0)
            return RECEIVED_CORRUPT;
        bool last = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
        if (!last && tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) return RECEIVED_CORRUPT;

        if (!opened) {
            // Sealed by the sender, so well formed unless the sender itself is broken.
            if (last || !parse_header(plain.data(), size, &header)) return RECEIVED_CORRUPT;
            opened = true;
            uint64_t start = 0;
            bool taken = begin(header, &start);
            if (start != 0 && (header.kind != KIND_FILE || start > header.size)) taken = false;
            if (!taken) start = kDeclined;
            std::vector<unsigned char> plaintext(plain.data(), plain.data() + size);
            unsigned char asked[kStartBytes];
            put_be(asked, start, 8);
            start_mac(asked + 8, session, plaintext, asked);
            if (!send_all(fd, asked, sizeof asked)) return taken ? RECEIVED_SHORT : RECEIVED_SINK_FAILED;
            if (!taken) return RECEIVED_SINK_FAILED;
            crypto_onetimeauth_update(&checksum, plain.data(), size);
            crypto_onetimeauth_update(&checksum, asked, 8);
            done = first = start;
            continue;
        }
        if (last) {
            if (size != kEndBytes || get_be(plain.data(), 8) != done) return RECEIVED_CORRUPT;
            if (header.size_known && done != header.size) return RECEIVED_CORRUPT;
            unsigned char expected[crypto_onetimeauth_BYTES];
            crypto_onetimeauth_final(&checksum, expected);
            if (crypto_verify_16(expected, plain.data() + 8) != 0) return RECEIVED_CORRUPT;
            memcpy(end, plain.data(), kEndBytes);
            return RECEIVED_INTACT;
        }
        if (header.size_known && size > header.size - done) return RECEIVED_CORRUPT;
        crypto_onetimeauth_update(&checksum, plain.data(), size);
        if (size > 0 && !write(plain.data(), size)) return RECEIVED_SINK_FAILED;
        done += size;
        if (counter) counter(done - first, header.size);
    }
}

bool send_receipt(int fd, const Session& session, bool intact, const unsigned char end[kEndBytes]) {
    unsigned char answer[1 + kMacBytes];
    answer[0] = static_cast<unsigned char>(intact ? kAckIntact : kAckDamaged);
    if (!intact) return send_all(fd, answer, 1);
    hash(answer + 1, kMacBytes, session.receipt_key, kSecretBytes, "tqr receipt 1", {{end, kEndBytes}});
    return send_all(fd, answer, sizeof answer);
}

int wait_receipt(int fd, const Session& session, const unsigned char end[kEndBytes], int timeout_ms) {
    if (!wait_readable(fd, timeout_ms)) return -1;
    unsigned char answer[1 + kMacBytes];
    if (recv_all(fd, answer, 1) != 1) return -1;
    if (answer[0] != kAckIntact) return 0;
    if (recv_all(fd, answer + 1, kMacBytes) != kMacBytes) return -1;
    unsigned char expected[kMacBytes];
    hash(expected, kMacBytes, session.receipt_key, kSecretBytes, "tqr receipt 1", {{end, kEndBytes}});
    return crypto_verify_32(answer + 1, expected) == 0 ? 1 : 0;
}

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

}  // namespace tqr
