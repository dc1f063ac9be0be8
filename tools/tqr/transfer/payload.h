// How `tqr` carries one file over a key-checked direct link, after the library has handed the socket
// to the host. Two formats: the encrypted one (secure.h, the default) and this plain one (--plain):
//
//   sender -> endstation   header: "TQRPAY01", payload length (8 bytes, big-endian),
//                                  name length (2 bytes, big-endian), name
//                          payload
//                          checksum: BLAKE2b-256 (crypto_generichash, 32 bytes) of header and payload
//   endstation -> sender   one byte: 'A' the payload arrived intact, 'N' it did not
//
// The endstation answers only once its own rendezvous is over, so a sender that counts answers knows
// that the coordinator has finished with that endstation.
//
// Also here: what both formats share, the sender's PayloadSource and the socket helpers.
// The functions depend only on their arguments: they may run on several threads at once, one link each.
#ifndef ZEL_TOOLS_TQR_TRANSFER_PAYLOAD_H
#define ZEL_TOOLS_TQR_TRANSFER_PAYLOAD_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tqr {

constexpr size_t kChecksumBytes = 32;
constexpr size_t kIdentityBytes = 32;
constexpr size_t kMaxNameBytes = 1024;
constexpr char kSetName[] = "tqr-set";  // the top folder of a set's archive, which no receiver keeps
constexpr size_t kMaxTextBytes = 64 * 1024;  // a --text message: what a person reads, not a file
constexpr size_t kChunkBytes = 64 * 1024;  // payload bytes per plain read and write, and per sealed chunk
constexpr size_t kBatchBytes = 1 << 20;    // payload bytes per file read and link write of the sealed stream
constexpr char kAckIntact = 'A';
constexpr char kAckDamaged = 'N';

// Called with the bytes of payload moved so far on one link (from where it started: a continued file
// starts at the bytes the receiver kept), and the payload's size (0: not known).
typedef std::function<void(uint64_t done, uint64_t total)> ByteCounter;

// What a payload is, as its header tells.
enum PayloadKind : char {
    KIND_FILE = 'F',    // bytes of a known size, which the sender can serve from any offset
    KIND_STREAM = 'S',  // read once from start to end (standard input)
    KIND_TREE = 'T',    // a folder, as one archive (tree.h)
    KIND_SET = 'M',     // files and folders as the entries of one folder archive (tree.h), placed apart
    KIND_TEXT = 'X',    // a message for the receiver's standard output, at most kMaxTextBytes (sealed only)
    KIND_NONE = 'N',    // nothing: the sender served its --count while this link confirmed (sealed only)
};

// What the header announced.
struct PayloadHeader {
    std::string name;
    uint64_t size = 0;
    bool size_known = true;  // false: a streamed payload, whose end only the sender's last chunk tells
    char kind = KIND_FILE;
    // What a receiver's part is matched against: for a file of the encrypted format, BLAKE2b-256 of its
    // size and name, which the receiver derives from the header; all zeros for what is never continued
    // (streams, folders, the plain format). Whether the kept bytes are still the start of the sender's
    // file is the sender's to tell: it hashes the same range of its file (send_sealed).
    unsigned char identity[kIdentityBytes] = {};
    bool has_identity() const;
};

// Called once the header is in. false stops the transfer; `*offset` (0 when called) may be set to
// where the sender is to start, when the payload is a file whose first bytes the receiver kept.
typedef std::function<bool(const PayloadHeader&, uint64_t* offset)> BeginFunction;
// Up to `capacity` payload bytes from `offset`: the count, 0 at the end, -1 on a read error.
typedef std::function<ssize_t(uint64_t offset, unsigned char* out, size_t capacity)> ReadFunction;
// The next payload bytes of a source that holds them already, lent in place of a copy: *data is set to
// them, valid until the next call; the count, 0 at the end, -1 on a read error.
typedef std::function<ssize_t(const unsigned char** data)> LendFunction;
typedef std::function<bool(const unsigned char*, size_t)> WriteFunction;

// The bytes a sender serves. run_send opens it on its main thread before any link exists; then the
// bridge threads of all links read it at once (pread or a copy from memory, neither needs a lock). A
// streamed source is the exception: it can be read by one link only, from start to end.
// How long a streamed input may give nothing before the sender seals an empty chunk, which tells the
// receiver (whose stall limit may be as short as a second) that the sender is waiting for its input,
// not gone. 25 bytes a second while a pipe pauses.
constexpr int kInputIdleMs = 500;

class PayloadSource {
public:
    PayloadSource() = default;
    ~PayloadSource();
    PayloadSource(const PayloadSource&) = delete;
    PayloadSource& operator=(const PayloadSource&) = delete;

    // `path` "-" is standard input. A regular file stays open and is read afresh for every link. Anything
    // else (standard input, a pipe) is streamed when `stream` is set, and otherwise read whole into
    // memory now. false, with errno set, when it cannot be opened or read.
    bool open(const std::string& path, bool stream);
    // A descriptor that, once readable, ends every wait of this source for input that is not a file:
    // open() and read() fail with ECANCELED. The command's own, readable once it is interrupted, so
    // that a pipe that stays open holds no thread. Set before open(); -1: none.
    void stop_on(int fd) { m_stop = fd; }
    // Serves these bytes from memory.
    void assign(std::vector<unsigned char> bytes);
    // A regular file's version as it stands now (its size and modification time), taken as a link
    // begins; still(version) at the link's end tells whether the file was written while the link read
    // it, which would make its copy one of two versions. Other sources are always still.
    struct stat version() const;
    bool still(const struct stat& version) const;
    // True when the regular file's size is no longer the one it was opened with, which every offer
    // of it announces.
    bool resized() const;

    bool streamed() const { return m_streamed; }
    // The size in bytes; meaningless when streamed.
    uint64_t size() const { return m_size; }

    // Up to `capacity` bytes from `offset`: the count read, 0 at the end, -1 on a read error. A streamed
    // source ignores `offset` (it is always where the previous read ended) and returns what one read of
    // the input gives, so that a slow producer's bytes go out as they come; when the input gave nothing
    // for kInputIdleMs, -1 with EAGAIN, so that the link can tell its peer it is still there.
    ssize_t read(uint64_t offset, unsigned char* out, size_t capacity) const;
    ReadFunction reader() const {
        return [this](uint64_t offset, unsigned char* out, size_t capacity) { return read(offset, out, capacity); };
    }

private:
    // Reads `m_fd` (not a file) once it has bytes or its end; -1 with ECANCELED once m_stop is readable,
    // with EAGAIN when nothing came within `timeout_ms` (negative: no limit).
    ssize_t read_input(unsigned char* out, size_t capacity, int timeout_ms) const;

    int m_fd = -1;
    int m_stop = -1;
    bool m_streamed = false;
    uint64_t m_size = 0;
    std::vector<unsigned char> m_bytes;  // when neither a regular file nor streamed
};

// Writes header, payload and checksum in the plain format on `fd`. false when the link failed before
// all of it was out, or the source could not be read or was written meanwhile (no checksum goes). `source` must not be streamed (the plain header
// carries the length).
bool send_payload(int fd, const std::string& name, const PayloadSource& source, const ByteCounter& counter);

enum ReceiveResult {
    RECEIVED_INTACT,
    RECEIVED_NOTHING,  // the link ended before the first byte: the sender refused or the link failed
    RECEIVED_SHORT,    // the link ended (or stalled) before header, payload and checksum were all in
    RECEIVED_CORRUPT,  // not a tqr header, the checksum does not match, or (encrypted) a chunk is forged
    RECEIVED_SINK_FAILED,  // `begin` or `write` refused (the host could not store the payload)
    RECEIVED_SERVED_OUT,   // (encrypted) the sender served its --count meanwhile: nothing follows
};


// Reads one plain payload from `fd`: `begin` once the header is in (false stops; the plain format
// always starts at 0), then `write` for each piece of payload (false stops), verifying length and
// checksum on the way.
ReceiveResult receive_payload(int fd, const BeginFunction& begin, const WriteFunction& write,
                              const ByteCounter& counter);

// The endstation's answer in the plain format. send_ack: false when it could not be written.
bool send_ack(int fd, bool intact);
// 1 intact, 0 damaged, -1 no answer within `timeout_ms` or the link ended.
int wait_ack(int fd, int timeout_ms);

// Writes all of `data`; false when the link failed first.
bool send_all(int fd, const void* data, size_t size);
// Reads exactly `size` bytes; the count actually read (short when the link ended or stalled).
size_t recv_all(int fd, void* data, size_t size);
// Reads what the link holds, at least 1 byte and at most `capacity` (waiting for the first within this
// thread's deadline); 0 when the link ended or stalled.
size_t recv_some(int fd, void* data, size_t capacity);
// Waits at most `timeout_ms` for `fd` to become readable (or to end); false on time-out.
bool wait_readable(int fd, int timeout_ms);

// A deadline for this thread's send_all and recv_all: once it passed, they end short as on a lost
// link. A link's thread sets one per phase (the whole key confirmation, say); while the payload moves,
// payload_moved() pushes it on after each chunk that went or came whole, so that a peer that drips a
// byte at a time, or reads one, cannot hold a link however patient each single read is. The thread's
// calls are unbounded again once it goes. One per thread, on that thread's stack.
class LinkDeadline {
public:
    LinkDeadline() = default;
    ~LinkDeadline();
    LinkDeadline(const LinkDeadline&) = delete;
    LinkDeadline& operator=(const LinkDeadline&) = delete;
    // `seconds` from now for whatever this thread sends or receives next.
    void set(double seconds);
    // Whether this thread's last send_all or recv_all ended because the deadline passed.
    static bool passed();
};
// Pushes this thread's deadline, when it has one, stall_seconds() past now.
void payload_moved();
// false once this thread's deadline passed (LinkDeadline::passed() then says so too), for work
// between sends and receives that the peer waits for.
bool link_time_left();

// A whole-number TQR_* setting, `fallback` when it is not set (check_settings vetted its range).
long tool_setting(const char* name, long fallback);
// TQR_CONFIRM_TIMEOUT: how long a whole key confirmation may take (default 5).
int confirm_seconds();
// TQR_STALL_TIMEOUT: how long a transfer may move no payload chunk (default 30).
int stall_seconds();

void put_be(unsigned char* out, uint64_t value, int bytes);
uint64_t get_be(const unsigned char* in, int bytes);

// A file name that is safe to create in the current folder: the base name of `offered`, or
// "tqr-payload" when nothing usable is left (empty, ".", ".."). Every other byte stays as it is.
std::string safe_file_name(const std::string& offered);
// Renames `from` to `to` unless something is at `to` (it may have appeared since it was checked);
// false, with errno set, when it could not (EEXIST: something is there).
bool rename_without_replacing(const std::string& from, const std::string& to);

// Why a receiver should not take `name` (a safe_file_name) without being told the target: it is
// hidden (starts with a dot, as shell start-up files do) or names a device on some system. "": fine.
std::string risky_name(const std::string& name);

// libsodium, started once per process (any thread may call this first).
void ensure_sodium();

// Fills `out` with `size` random bytes (libsodium).
void random_bytes(unsigned char* out, size_t size);

// The checksum of `data` as lower-case hex (for summaries).
std::string checksum_hex(const unsigned char* data, size_t size);

}  // namespace tqr

#endif
