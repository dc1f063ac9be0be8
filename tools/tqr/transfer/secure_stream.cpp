#include "transfer/secure.h"

#include <poll.h>
#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "code/words.h"
#include "transfer/raw_buffer.h"
#include "transfer/seal.h"

namespace tqr {

using namespace seal;

namespace {

constexpr size_t kKeptBytes = kMacBytes;
constexpr size_t kAskedBytes = 8 + kKeptBytes;  // start and kept: what the start MAC covers
constexpr size_t kFromBytes = 8;

void start_mac(unsigned char out[kMacBytes], const Session& session, const std::vector<unsigned char>& header,
               const unsigned char asked[kAskedBytes]) {
    hash(out, kMacBytes, session.receipt_key, kSecretBytes, "tqr resume 1",
         {{header.data(), header.size()}, {asked, kAskedBytes}});
}

// The kept MAC of a start: the link's key over the start and the BLAKE2b-256 of its bytes.
void kept_mac(unsigned char out[kKeptBytes], const Session& session, const unsigned char start[8],
              const unsigned char digest[kIdentityBytes]) {
    hash(out, kKeptBytes, session.receipt_key, kSecretBytes, "tqr kept 1", {{start, 8}, {digest, kIdentityBytes}});
}

std::vector<unsigned char> header_plaintext(const PayloadHeader& offer) {
    std::string name = offer.name.substr(0, kMaxNameBytes);
    std::vector<unsigned char> header(kFixedHeaderBytes + name.size());
    put_be(header.data(), offer.size_known ? offer.size : kStreamedSize, 8);
    header[8] = static_cast<unsigned char>(offer.kind);
    put_be(header.data() + 9, name.size(), 2);
    memcpy(header.data() + kFixedHeaderBytes, name.data(), name.size());
    return header;
}

// The header chunk's plaintext, as the sender sealed it. false when it is no header.
bool parse_header(const unsigned char* plain, size_t size, PayloadHeader* header) {
    if (size < kFixedHeaderBytes) return false;
    uint64_t announced = get_be(plain, 8);
    size_t name_length = static_cast<size_t>(get_be(plain + 9, 2));
    if (name_length > kMaxNameBytes || size != kFixedHeaderBytes + name_length) return false;
    header->kind = static_cast<char>(plain[8]);
    if (header->kind != KIND_FILE && header->kind != KIND_STREAM && header->kind != KIND_TREE &&
        header->kind != KIND_TEXT && header->kind != KIND_SET && header->kind != KIND_NONE)
        return false;
    header->size_known = announced != kStreamedSize;
    header->size = header->size_known ? announced : 0;
    header->name.assign(reinterpret_cast<const char*>(plain + kFixedHeaderBytes), name_length);
    memset(header->identity, 0, kIdentityBytes);
    if (header->kind == KIND_FILE && header->size_known)
        hash(header->identity, kIdentityBytes, nullptr, 0, "tqr part 1", {{plain, 8}, {plain + 9, 2 + name_length}});
    return true;
}

// Whether the first get_be(asked) bytes that `read` gives make the kept MAC in `asked`: the receiver's
// kept part is still the start of this file. Only a continued transfer pays for this, and only for
// what the receiver kept.
enum KeptStart { KEPT_SAME, KEPT_OTHER, KEPT_ENDED };

// Whether the receiver's kept part is the start of this file. A long part takes a while to hash, and
// the receiver waits for the answer only until its stall limit, which this thread's deadline
// matches: the hash ends there, and when the link ends meanwhile (the receiver left, an interruption
// ended the link), so that a claim of a huge part holds neither the link nor the stop.
KeptStart same_start(int fd, const Session& session, const ReadFunction& read, const unsigned char asked[kAskedBytes],
                     RawBuffer<unsigned char>* buffer) {
    uint64_t size = get_be(asked, 8);
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kIdentityBytes);
    for (uint64_t at = 0; at < size;) {
        pollfd link{fd, POLLRDHUP, 0};
        if (!link_time_left() || poll(&link, 1, 0) < 0 || (link.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
            return KEPT_ENDED;
        ssize_t n = read(at, buffer->data(), static_cast<size_t>(std::min<uint64_t>(buffer->size(), size - at)));
        if (n <= 0) return KEPT_OTHER;
        crypto_generichash_update(&state, buffer->data(), static_cast<size_t>(n));
        at += static_cast<uint64_t>(n);
    }
    unsigned char digest[kIdentityBytes], expected[kKeptBytes];
    crypto_generichash_final(&state, digest, sizeof digest);
    kept_mac(expected, session, asked, digest);
    return crypto_verify_32(expected, asked + 8) == 0 ? KEPT_SAME : KEPT_OTHER;
}

// Sealed chunks gathered for one write, in room that is never zeroed.
class SealedOut {
public:
    explicit SealedOut(size_t room) : m_bytes(room) {}

    const unsigned char* data() const { return m_bytes.data(); }
    size_t size() const { return m_size; }
    void clear() { m_size = 0; }
    // `size` more bytes at the end, for the caller to fill.
    unsigned char* extend(size_t size) {
        if (m_size + size > m_bytes.size()) {
            RawBuffer<unsigned char> bigger(std::max(2 * m_bytes.size(), m_size + size));
            memcpy(bigger.data(), m_bytes.data(), m_size);
            m_bytes = std::move(bigger);
        }
        unsigned char* at = m_bytes.data() + m_size;
        m_size += size;
        return at;
    }

private:
    RawBuffer<unsigned char> m_bytes;
    size_t m_size = 0;
};

// Appends one sealed chunk (its length, then the ciphertext) to `out`, sealed in place.
void seal_into(SealedOut* out, StreamState* state, const unsigned char* data, size_t size, unsigned char tag) {
    unsigned char* at = out->extend(kLengthBytes + size + kSealBytes);
    put_be(at, size + kSealBytes, kLengthBytes);
    crypto_secretstream_xchacha20poly1305_push(state, at + kLengthBytes, nullptr, data, size, nullptr, 0, tag);
}

// Sealed chunks as they come off the link: one recv takes whatever the socket holds (up to a batch),
// and whole chunks are handed out of the buffer without another copy.
class FrameReader {
public:
    explicit FrameReader(int fd) : m_fd(fd), m_buffer(kBatchBytes + kLengthBytes + kMaxChunkBytes) {}

    // Exactly `size` bytes (at most a chunk's) at *data; false when the link ended or stalled first
    // (`*got` then tells how many came).
    bool take(size_t size, const unsigned char** data, size_t* got = nullptr) {
        bool whole = fill(size);
        if (got) *got = std::min(size, m_end - m_begin);
        if (!whole) return false;
        *data = m_buffer.data() + m_begin;
        m_begin += size;
        return true;
    }
    // Whether a whole chunk is buffered: taking it will not wait.
    bool ready() const {
        if (m_end - m_begin < kLengthBytes) return false;
        return m_end - m_begin >= kLengthBytes + get_be(m_buffer.data() + m_begin, kLengthBytes);
    }

private:
    bool fill(size_t need) {
        if (m_end - m_begin >= need) return true;
        if (m_begin + need > m_buffer.size()) {
            memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
            m_end -= m_begin;
            m_begin = 0;
        }
        while (m_end - m_begin < need) {
            size_t n = recv_some(m_fd, m_buffer.data() + m_end, m_buffer.size() - m_end);
            if (n == 0) return false;
            m_end += n;
        }
        return true;
    }

    int m_fd;
    RawBuffer<unsigned char> m_buffer;
    size_t m_begin = 0, m_end = 0;  // the bytes received and not yet taken
};

enum Chunk { CHUNK_OPEN, CHUNK_SHORT, CHUNK_CORRUPT };

// The next chunk, opened into `plain` (at least kChunkBytes + kSealBytes room).
Chunk open_chunk(FrameReader* reader, StreamState* state, unsigned char* plain, size_t* size, bool* last) {
    const unsigned char* field;
    const unsigned char* sealed;
    if (!reader->take(kLengthBytes, &field)) return CHUNK_SHORT;
    size_t length = static_cast<size_t>(get_be(field, kLengthBytes));
    if (length < kSealBytes || length > kMaxChunkBytes) return CHUNK_CORRUPT;
    if (!reader->take(length, &sealed)) return CHUNK_SHORT;
    unsigned long long opened = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(state, plain, &opened, &tag, sealed, length, nullptr, 0) != 0)
        return CHUNK_CORRUPT;
    *last = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
    if (!*last && tag != crypto_secretstream_xchacha20poly1305_TAG_MESSAGE) return CHUNK_CORRUPT;
    *size = static_cast<size_t>(opened);
    return CHUNK_OPEN;
}

ReceiveResult short_or_corrupt(Chunk chunk) { return chunk == CHUNK_SHORT ? RECEIVED_SHORT : RECEIVED_CORRUPT; }

}  // namespace

bool send_served_out(int fd, const Session& session) {
    ensure_sodium();
    StreamState state;
    PayloadHeader none;
    none.kind = KIND_NONE;
    none.size_known = true;
    none.size = 0;
    std::vector<unsigned char> header = header_plaintext(none);
    SealedOut out(kStreamHeaderBytes + kLengthBytes + header.size() + kSealBytes);
    crypto_secretstream_xchacha20poly1305_init_push(&state, out.extend(kStreamHeaderBytes), session.stream_key);
    seal_into(&out, &state, header.data(), header.size(), crypto_secretstream_xchacha20poly1305_TAG_FINAL);
    return send_all(fd, out.data(), out.size());
}

SendResult send_sealed(int fd, const Session& session, const PayloadHeader& offer, const ReadFunction& read,
                       const ByteCounter& counter, unsigned char end[kEndBytes], uint64_t* start,
                       const LendFunction& lend) {
    ensure_sodium();
    *start = 0;
    StreamState state;
    // Stream header and header chunk in one write; later every read of the source in one.
    SealedOut out(kBatchBytes + (kBatchBytes / kChunkBytes + 3) * (kLengthBytes + kSealBytes) + kEndBytes);
    crypto_secretstream_xchacha20poly1305_init_push(&state, out.extend(kStreamHeaderBytes), session.stream_key);
    std::vector<unsigned char> header = header_plaintext(offer);
    seal_into(&out, &state, header.data(), header.size(), 0);
    if (!send_all(fd, out.data(), out.size())) return SEND_FAILED;

    unsigned char asked[kAskedBytes + kMacBytes];
    if (recv_all(fd, asked, sizeof asked) < sizeof asked) return SEND_FAILED;
    unsigned char expected[kMacBytes];
    start_mac(expected, session, header, asked);
    if (crypto_verify_32(expected, asked + kAskedBytes) != 0) return SEND_FAILED;
    uint64_t done = get_be(asked, 8);
    if (done == kDeclined) return SEND_DECLINED;
    if (done != 0 && (offer.kind != KIND_FILE || done > offer.size)) return SEND_FAILED;
    RawBuffer<unsigned char> buffer(lend ? 0 : kBatchBytes);
    payload_moved();  // as long as the receiver now waits for the answer
    if (lend) done = 0;  // a stream is never continued
    if (done > 0) {
        KeptStart kept = same_start(fd, session, read, asked, &buffer);
        if (kept == KEPT_ENDED) return SEND_FAILED;
        if (kept == KEPT_OTHER) done = 0;
    }
    *start = done;
    payload_moved();

    unsigned char from[kFromBytes];
    put_be(from, done, kFromBytes);
    crypto_onetimeauth_state checksum;
    crypto_onetimeauth_init(&checksum, session.checksum_key);
    crypto_onetimeauth_update(&checksum, header.data(), header.size());
    crypto_onetimeauth_update(&checksum, asked, kAskedBytes);
    crypto_onetimeauth_update(&checksum, from, sizeof from);
    out.clear();
    seal_into(&out, &state, from, sizeof from, 0);
    uint64_t total = offer.size_known ? offer.size : 0;
    while (!offer.size_known || done < total) {
        const unsigned char* data = buffer.data();
        ssize_t n = lend ? lend(&data) : read(done, buffer.data(), buffer.size());
        if (n < 0 && errno == EAGAIN && !offer.size_known) {
            // The input pauses: an empty chunk keeps the receiver's stall limit (and ours) from
            // counting the wait against the link, and finds out soon when the receiver has gone.
            seal_into(&out, &state, from, 0, 0);
            if (!send_all(fd, out.data(), out.size())) return SEND_FAILED;
            out.clear();
            payload_moved();
            continue;
        }
        if (n < 0) return SEND_FAILED;
        if (n == 0) {
            // A file that shrank since it was opened cannot give what the header promised.
            if (offer.size_known) return SEND_FAILED;
            break;
        }
        if (offer.size_known && static_cast<uint64_t>(n) > total - done) return SEND_FAILED;
        crypto_onetimeauth_update(&checksum, data, static_cast<size_t>(n));
        for (size_t at = 0; at < static_cast<size_t>(n); at += kChunkBytes)
            seal_into(&out, &state, data + at, std::min(kChunkBytes, static_cast<size_t>(n) - at), 0);
        done += static_cast<uint64_t>(n);
        if (offer.size_known && done == total) break;  // the end goes in the same write
        if (!send_all(fd, out.data(), out.size())) return SEND_FAILED;
        out.clear();
        payload_moved();
        if (counter) counter(done - *start, total);
    }

    put_be(end, done, 8);
    crypto_onetimeauth_final(&checksum, end + 8);
    seal_into(&out, &state, end, kEndBytes, crypto_secretstream_xchacha20poly1305_TAG_FINAL);
    if (!send_all(fd, out.data(), out.size())) return SEND_FAILED;
    if (counter) counter(done - *start, total);
    return SENT;
}

ReceiveResult receive_sealed(int fd, const Session& session, const BeginFunction& begin, const WriteFunction& write,
                             const ByteCounter& counter, unsigned char end[kEndBytes], const KeptPart* kept) {
    ensure_sodium();
    FrameReader reader(fd);
    const unsigned char* stream_header;
    size_t got = 0;
    if (!reader.take(kStreamHeaderBytes, &stream_header, &got)) return got == 0 ? RECEIVED_NOTHING : RECEIVED_SHORT;
    StreamState state;
    if (crypto_secretstream_xchacha20poly1305_init_pull(&state, stream_header, session.stream_key) != 0)
        return RECEIVED_CORRUPT;

    // Verified plaintext collects here, chunk after chunk, while more chunks are already in: one write
    // per batch.
    RawBuffer<unsigned char> plain(kBatchBytes + kMaxChunkBytes);
    size_t size = 0;
    bool last = false;
    Chunk chunk = open_chunk(&reader, &state, plain.data(), &size, &last);
    if (chunk != CHUNK_OPEN) return short_or_corrupt(chunk);
    // Sealed by the sender, so well formed unless the sender itself is broken.
    PayloadHeader header;
    if (!parse_header(plain.data(), size, &header) || last != (header.kind == KIND_NONE)) return RECEIVED_CORRUPT;
    if (header.kind == KIND_NONE) return RECEIVED_SERVED_OUT;
    std::vector<unsigned char> header_bytes(plain.data(), plain.data() + size);
    uint64_t start = 0;
    bool taken = begin(header, &start);
    if (start != 0 && (header.kind != KIND_FILE || start > header.size)) taken = false;
    unsigned char asked[kAskedBytes + kMacBytes] = {};
    unsigned char digest[kIdentityBytes];
    if (taken && start > 0 && !(kept && kept->hash(digest))) return RECEIVED_SINK_FAILED;
    put_be(asked, taken ? start : kDeclined, 8);
    if (taken && start > 0) kept_mac(asked + 8, session, asked, digest);
    start_mac(asked + kAskedBytes, session, header_bytes, asked);
    payload_moved();  // begin() may have asked the person at the terminal, or hashed what was kept
    if (!send_all(fd, asked, sizeof asked)) return taken ? RECEIVED_SHORT : RECEIVED_SINK_FAILED;
    if (!taken) return RECEIVED_SINK_FAILED;

    chunk = open_chunk(&reader, &state, plain.data(), &size, &last);
    if (chunk != CHUNK_OPEN) return short_or_corrupt(chunk);
    uint64_t from = get_be(plain.data(), kFromBytes);
    if (last || size != kFromBytes || (from != start && from != 0)) return RECEIVED_CORRUPT;
    if (from != start && !kept->restart()) return RECEIVED_SINK_FAILED;
    crypto_onetimeauth_state checksum;
    crypto_onetimeauth_init(&checksum, session.checksum_key);
    crypto_onetimeauth_update(&checksum, header_bytes.data(), header_bytes.size());
    crypto_onetimeauth_update(&checksum, asked, kAskedBytes);
    crypto_onetimeauth_update(&checksum, plain.data(), kFromBytes);

    uint64_t done = from;
    size_t batch = 0;  // verified bytes in `plain` not yet written
    for (;;) {
        chunk = open_chunk(&reader, &state, plain.data() + batch, &size, &last);
        if (chunk != CHUNK_OPEN) return short_or_corrupt(chunk);
        if (last) {
            const unsigned char* message = plain.data() + batch;
            if (size != kEndBytes || get_be(message, 8) != done) return RECEIVED_CORRUPT;
            if (header.size_known && done != header.size) return RECEIVED_CORRUPT;
            unsigned char expected[crypto_onetimeauth_BYTES];
            crypto_onetimeauth_final(&checksum, expected);
            if (crypto_verify_16(expected, message + 8) != 0) return RECEIVED_CORRUPT;
            memcpy(end, message, kEndBytes);
            if (batch > 0 && !write(plain.data(), batch)) return RECEIVED_SINK_FAILED;
            if (counter) counter(done - from, header.size);
            return RECEIVED_INTACT;
        }
        if (header.size_known && size > header.size - done) return RECEIVED_CORRUPT;
        crypto_onetimeauth_update(&checksum, plain.data() + batch, size);
        batch += size;
        done += size;
        // An empty chunk is the sender waiting for its streamed input: progress for a stream only.
        if (size > 0 || header.kind == KIND_STREAM) payload_moved();
        // Written when the batch is full, or before waiting for more (a slow stream's bytes go on at once).
        if (batch >= kBatchBytes || !reader.ready()) {
            if (batch > 0 && !write(plain.data(), batch)) return RECEIVED_SINK_FAILED;
            batch = 0;
            if (counter) counter(done - from, header.size);
        }
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

}  // namespace tqr
