#include "transfer/payload.h"

#include <fcntl.h>
#include <stdio.h>
#include <poll.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <iterator>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/socket.h"
#include "folder/tree_disk.h"

namespace tqr {

namespace {

const char kMagic[8] = {'T', 'Q', 'R', 'P', 'A', 'Y', '0', '1'};
constexpr size_t kFixedHeader = sizeof kMagic + 8 + 2;

}  // namespace

void ensure_sodium() {
    static std::once_flag once;
    std::call_once(once, [] {
        // Fails only when the platform has no randomness; crypto_generichash needs none.
        if (sodium_init() < 0) fprintf(stderr, "tqr: libsodium found no source of randomness\n");
    });
}

namespace {

typedef std::chrono::steady_clock Clock;

// This thread's LinkDeadline: whether it has one, when, and whether a call ran into it.
thread_local bool t_bounded = false;
thread_local Clock::time_point t_deadline;
thread_local bool t_passed = false;

// Waits until `fd` is ready for `events` within this thread's deadline; true at once without one.
bool ready_in_time(int fd, bool writable) {
    if (!t_bounded) return true;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t_deadline - Clock::now()).count();
        if (left <= 0) {
            t_passed = true;
            return false;
        }
        int polled = net::wait_one(fd, writable, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (polled != 0 && polled != net::kRetry) return true;
    }
}

}  // namespace

LinkDeadline::~LinkDeadline() { t_bounded = false; }

void LinkDeadline::set(double seconds) {
    t_bounded = true;
    t_passed = false;
    t_deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool LinkDeadline::passed() { return t_passed; }

void payload_moved() {
    if (t_bounded) t_deadline = Clock::now() + std::chrono::seconds(stall_seconds());
}

bool link_time_left() {
    if (!t_bounded || Clock::now() < t_deadline) return true;
    t_passed = true;
    return false;
}

long tool_setting(const char* name, long fallback) {
    const char* text = getenv(name);
    return text != nullptr && *text != '\0' ? strtol(text, nullptr, 10) : fallback;
}

int confirm_seconds() { return static_cast<int>(tool_setting("TQR_CONFIRM_TIMEOUT", 5)); }
int stall_seconds() { return static_cast<int>(tool_setting("TQR_STALL_TIMEOUT", 30)); }

// With a deadline the calls do not block, so that poll alone decides how long they wait.
bool send_all(int fd, const void* data, size_t size) {
    const unsigned char* next = static_cast<const unsigned char*>(data);
    while (size > 0) {
        if (!ready_in_time(fd, true)) return false;
        long n = net::send_bytes(fd, next, size, t_bounded);
        if (n == net::kRetry) continue;
        if (n <= 0) return false;
        next += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

size_t recv_all(int fd, void* data, size_t size) {
    unsigned char* next = static_cast<unsigned char*>(data);
    size_t got = 0;
    while (got < size) {
        if (!ready_in_time(fd, false)) break;
        long n = net::recv_bytes(fd, next + got, size - got, t_bounded);
        if (n == net::kRetry) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

size_t recv_some(int fd, void* data, size_t capacity) {
    for (;;) {
        if (!ready_in_time(fd, false)) return 0;
        long n = net::recv_bytes(fd, data, capacity, t_bounded);
        if (n == net::kRetry) continue;
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
}

bool wait_readable(int fd, int timeout_ms) {
    int polled;
    do {
        polled = net::wait_one(fd, false, timeout_ms);
    } while (polled == net::kRetry);
    return polled > 0;
}

void put_be(unsigned char* out, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
}

uint64_t get_be(const unsigned char* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | in[i];
    return value;
}

PayloadSource::~PayloadSource() {
    if (m_fd > STDERR_FILENO) close(m_fd);
}

bool PayloadSource::open(const std::string& path, bool stream) {
    int fd = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        int saved = errno;
        if (fd != STDIN_FILENO) close(fd);
        errno = saved;
        return false;
    }
    // A file of /proc or /sys says that it is empty and has bytes all the same: it is read as a pipe is.
    unsigned char first;
    if (S_ISREG(info.st_mode) && !(info.st_size == 0 && pread(fd, &first, 1, 0) == 1)) {
        m_fd = fd;
        m_size = static_cast<uint64_t>(info.st_size);
        return true;
    }
    if (stream) {
        m_fd = fd;
        m_streamed = true;
        return true;
    }
    // A pipe cannot be read twice: keep all of it.
    unsigned char buffer[kChunkBytes];
    ssize_t n;
    m_fd = fd;
    while ((n = read_input(buffer, sizeof buffer, -1)) > 0) m_bytes.insert(m_bytes.end(), buffer, buffer + n);
    m_fd = -1;
    int saved = errno;
    if (fd != STDIN_FILENO) close(fd);
    errno = saved;
    m_size = m_bytes.size();
    return n == 0;
}

void PayloadSource::assign(std::vector<unsigned char> bytes) {
    m_bytes = std::move(bytes);
    m_size = m_bytes.size();
}

bool PayloadHeader::has_identity() const {
    return !sodium_is_zero(identity, sizeof identity);
}

struct stat PayloadSource::version() const {
    struct stat info {};
    if (m_fd >= 0 && !m_streamed) fstat(m_fd, &info);
    return info;
}

bool PayloadSource::still(const struct stat& version) const {
    return m_fd < 0 || m_streamed || disk::same_version(m_fd, version);
}

bool PayloadSource::resized() const {
    struct stat info {};
    return m_fd >= 0 && !m_streamed && fstat(m_fd, &info) == 0 && static_cast<uint64_t>(info.st_size) != m_size;
}

ssize_t PayloadSource::read(uint64_t offset, unsigned char* out, size_t capacity) const {
    if (m_streamed) return read_input(out, capacity, kInputIdleMs);
    if (offset >= m_size) return 0;
    size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, m_size - offset));
    if (m_fd < 0) {
        memcpy(out, m_bytes.data() + offset, want);
        return static_cast<ssize_t>(want);
    }
    for (;;) {
        ssize_t n = pread(m_fd, out, want, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

ssize_t PayloadSource::read_input(unsigned char* out, size_t capacity, int timeout_ms) const {
    for (;;) {
        if (m_stop >= 0 || timeout_ms >= 0) {
            pollfd ready[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
            int count = poll(ready, m_stop >= 0 ? 2 : 1, timeout_ms);
            if (count < 0 && errno == EINTR) continue;
            if (count < 0) return -1;
            if (m_stop >= 0 && ready[1].revents != 0) {
                errno = ECANCELED;
                return -1;
            }
            if (count == 0) {
                errno = EAGAIN;
                return -1;
            }
        }
        ssize_t n = ::read(m_fd, out, capacity);
        if (n < 0 && errno == EINTR) continue;
        return n;
    }
}

bool send_payload(int fd, const std::string& name, const PayloadSource& source, const ByteCounter& counter) {
    ensure_sodium();
    uint64_t size = source.size();
    std::string offered = name.substr(0, kMaxNameBytes);
    std::vector<unsigned char> header(kFixedHeader + offered.size());
    memcpy(header.data(), kMagic, sizeof kMagic);
    put_be(header.data() + sizeof kMagic, size, 8);
    put_be(header.data() + sizeof kMagic + 8, offered.size(), 2);
    memcpy(header.data() + kFixedHeader, offered.data(), offered.size());

    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kChecksumBytes);
    crypto_generichash_update(&state, header.data(), header.size());
    if (!send_all(fd, header.data(), header.size())) return false;

    std::vector<unsigned char> buffer(kChunkBytes);
    const struct stat begun = source.version();
    if (source.resized()) return false;
    for (uint64_t done = 0; done < size;) {
        ssize_t n = source.read(done, buffer.data(), buffer.size());
        // A file that shrank since it was opened cannot give what the header promised.
        if (n <= 0) return false;
        crypto_generichash_update(&state, buffer.data(), static_cast<size_t>(n));
        if (!send_all(fd, buffer.data(), static_cast<size_t>(n))) return false;
        payload_moved();
        done += static_cast<uint64_t>(n);
        if (counter) counter(done, size);
    }
    if (!source.still(begun)) return false;
    unsigned char checksum[kChecksumBytes];
    crypto_generichash_final(&state, checksum, sizeof checksum);
    return send_all(fd, checksum, sizeof checksum);
}

ReceiveResult receive_payload(int fd, const BeginFunction& begin, const WriteFunction& write,
                              const ByteCounter& counter) {
    ensure_sodium();
    unsigned char fixed[kFixedHeader];
    size_t got = recv_all(fd, fixed, sizeof fixed);
    if (got == 0) return RECEIVED_NOTHING;
    // A wrong magic is reported as damage even when the link also ended: these bytes were not ours.
    if (memcmp(fixed, kMagic, std::min(got, sizeof kMagic)) != 0) return RECEIVED_CORRUPT;
    if (got < sizeof fixed) return RECEIVED_SHORT;

    PayloadHeader header;
    header.size = get_be(fixed + sizeof kMagic, 8);
    size_t name_length = static_cast<size_t>(get_be(fixed + sizeof kMagic + 8, 2));
    if (name_length > kMaxNameBytes) return RECEIVED_CORRUPT;
    header.name.resize(name_length);
    if (recv_all(fd, reinterpret_cast<unsigned char*>(&header.name[0]), name_length) < name_length)
        return RECEIVED_SHORT;

    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kChecksumBytes);
    crypto_generichash_update(&state, fixed, sizeof fixed);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char*>(header.name.data()), name_length);
    uint64_t start = 0;
    if (!begin(header, &start)) return RECEIVED_SINK_FAILED;

    // Whole chunks, so that progress (payload_moved) means a chunk and not a byte.
    std::vector<unsigned char> buffer(kChunkBytes);
    payload_moved();
    for (uint64_t done = 0; done < header.size;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, header.size - done));
        size_t n = recv_all(fd, buffer.data(), want);
        if (n > 0) {
            crypto_generichash_update(&state, buffer.data(), n);
            if (!write(buffer.data(), n)) return RECEIVED_SINK_FAILED;
            done += n;
            if (counter) counter(done, header.size);
        }
        if (n < want) return RECEIVED_SHORT;
        payload_moved();
    }

    unsigned char expected[kChecksumBytes];
    crypto_generichash_final(&state, expected, sizeof expected);
    unsigned char checksum[kChecksumBytes];
    if (recv_all(fd, checksum, sizeof checksum) < sizeof checksum) return RECEIVED_SHORT;
    return sodium_memcmp(expected, checksum, sizeof checksum) == 0 ? RECEIVED_INTACT : RECEIVED_CORRUPT;
}

bool send_ack(int fd, bool intact) {
    unsigned char answer = static_cast<unsigned char>(intact ? kAckIntact : kAckDamaged);
    return send_all(fd, &answer, 1);
}

int wait_ack(int fd, int timeout_ms) {
    if (!wait_readable(fd, timeout_ms)) return -1;
    unsigned char answer = 0;
    if (recv_all(fd, &answer, 1) != 1) return -1;
    return answer == kAckIntact ? 1 : 0;
}

std::string safe_file_name(const std::string& offered) {
    std::string name = offered.substr(offered.find_last_of('/') == std::string::npos ? 0 : offered.find_last_of('/') + 1);
    // Any other byte is the file system's to allow, newlines and controls included: lines show names escaped.
    if (name.empty() || name == "." || name == "..") return "tqr-payload";
    return name;
}

bool rename_without_replacing(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // A file system without RENAME_NOREPLACE: a hard link fails just as surely when `to` exists (a
    // folder cannot be linked, and stays where it is).
    if (link(from.c_str(), to.c_str()) != 0) return false;
    unlink(from.c_str());
    return true;
}

std::string risky_name(const std::string& name) {
    if (name[0] == '.') return "starts with a dot";
    // The reserved device names of one widespread system, with or without an extension.
    std::string stem = name.substr(0, name.find('.'));
    for (char& c : stem) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL"};
    bool device = std::find(std::begin(kDevices), std::end(kDevices), stem) != std::end(kDevices);
    if (stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
        stem[3] <= '9')
        device = true;
    return device ? "names a device" : "";
}

void random_bytes(unsigned char* out, size_t size) {
    ensure_sodium();
    randombytes_buf(out, size);
}

std::string checksum_hex(const unsigned char* data, size_t size) {
    ensure_sodium();
    unsigned char hash[kChecksumBytes];
    crypto_generichash(hash, sizeof hash, data, size, nullptr, 0);
    char hex[2 * kChecksumBytes + 1];
    sodium_bin2hex(hex, sizeof hex, hash, sizeof hash);
    return hex;
}

}  // namespace tqr
