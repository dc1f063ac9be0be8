#include "transfer/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tqr {

namespace {

const char kRecordMagic[8] = {'T', 'Q', 'R', 'P', 'A', 'R', 'T', '1'};
constexpr size_t kRecordFixed = 2 + 8 + kIdentityBytes + 8 + sizeof kRecordMagic;

// All of `size` bytes at `at`, through pread or pwrite; false when the file ends or fails first.
template <typename Buffer, typename Call>
bool positioned_all(Call call, int fd, Buffer* data, size_t size, uint64_t at) {
    while (size > 0) {
        ssize_t n = call(fd, data, size, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        at += static_cast<uint64_t>(n);
    }
    return true;
}

bool pwrite_all(int fd, const unsigned char* data, size_t size, uint64_t at) {
    return positioned_all(::pwrite, fd, data, size, at);
}

bool pread_all(int fd, unsigned char* data, size_t size, uint64_t at) {
    return positioned_all(::pread, fd, data, size, at);
}

// What the record at the file's end says: the payload and how much of it the file starts with. Bytes
// between those and the record are a piece whose write was cut short (PartFile::append).
bool read_record(int fd, uint64_t file_size, PayloadHeader* header, uint64_t* have) {
    if (file_size < kRecordFixed) return false;
    unsigned char fixed[kRecordFixed];
    if (!pread_all(fd, fixed, sizeof fixed, file_size - kRecordFixed)) return false;
    if (memcmp(fixed + kRecordFixed - sizeof kRecordMagic, kRecordMagic, sizeof kRecordMagic) != 0) return false;
    size_t name_length = static_cast<size_t>(get_be(fixed, 2));
    header->size = get_be(fixed + 2, 8);
    memcpy(header->identity, fixed + 10, kIdentityBytes);
    *have = get_be(fixed + 10 + kIdentityBytes, 8);
    if (name_length > kMaxNameBytes || file_size < kRecordFixed + name_length || *have > header->size ||
        *have > file_size - kRecordFixed - name_length)
        return false;
    header->name.resize(name_length);
    return name_length == 0 || pread_all(fd, reinterpret_cast<unsigned char*>(&header->name[0]), name_length,
                                         file_size - kRecordFixed - name_length);
}

// Why the part at `path` may not be continued ("" when it may): what is there, whose it is, who else
// may read it. Judged on the open file, which `*fd` then holds (-1 with "" when nothing is there any
// more); nothing but a regular file is opened, so a planted fifo or device is never touched.
std::string judge_part(const std::string& path, int* fd) {
    *fd = -1;
    struct stat named {};
    if (lstat(path.c_str(), &named) != 0) return errno == ENOENT ? "" : std::string("cannot be read: ") + strerror(errno);
    if (S_ISLNK(named.st_mode)) return "is a symbolic link";
    if (!S_ISREG(named.st_mode)) return "is not a regular file";
    *fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat held {};
    if (*fd < 0 || fstat(*fd, &held) != 0) return std::string("cannot be opened: ") + strerror(errno);
    char octal[8];
    snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(held.st_mode & 07777));
    if (held.st_dev != named.st_dev || held.st_ino != named.st_ino || !S_ISREG(held.st_mode))
        return "was replaced while it was checked";
    if (held.st_uid != geteuid()) return "belongs to another user (uid " + std::to_string(held.st_uid) + ")";
    if ((held.st_mode & 077) != 0) return std::string("may be read or written by others (mode ") + octal + ")";
    if (held.st_nlink != 1) return "has " + std::to_string(held.st_nlink) + " names (hard links)";
    return "";
}

// Whether `path` leads to the file open as `fd`, through no link.
bool names_file(const std::string& path, int fd) {
    struct stat held {}, named{};
    return fstat(fd, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
           held.st_dev == named.st_dev;
}

}  // namespace

std::string beside(const std::string& path, const std::string& prefix, const std::string& suffix) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (prefix.size() + name.size() + suffix.size() <= NAME_MAX) return folder + prefix + name + suffix;
    unsigned char hash[4];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(name.data()), name.size(), nullptr, 0);
    char mark[2 * sizeof hash + 2] = "~";
    sodium_bin2hex(mark + 1, sizeof mark - 1, hash, sizeof hash);
    size_t keep = NAME_MAX - prefix.size() - suffix.size() - (sizeof mark - 1);
    // Not inside a character: a continuation byte of UTF-8 is 10xxxxxx, and a character has at most
    // three of them (a name that is not UTF-8 may have any number).
    for (int back = 0; back < 3 && keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80; ++back) --keep;
    return folder + prefix + name.substr(0, keep) + mark + suffix;
}

bool disk_space(const std::string& folder, DiskSpace* space) {
    struct statvfs info {};
    if (statvfs(folder.c_str(), &info) != 0) return false;
    uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
    space->free = static_cast<uint64_t>(info.f_bavail) * unit;
    space->size = static_cast<uint64_t>(info.f_blocks) * unit;
    return true;
}

uint64_t space_margin(uint64_t size) {
    return std::min<uint64_t>(size / 100, uint64_t{64} << 20);
}

bool space_fits(uint64_t need, const DiskSpace& space) {
    uint64_t margin = space_margin(space.size);
    return space.free >= margin && need <= space.free - margin;
}

bool sync_folder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = fsync(fd) == 0;
    int failed = errno;
    ::close(fd);
    errno = failed;
    return synced;
}

PartFile::~PartFile() {
    close();
}

bool PartFile::open(const std::string& path, bool fresh, std::string* error, std::string* removed) {
    // Each round ends with a part this receiver created or judged, locked and still under `path`; a
    // part that another receiver or a planter replaced meanwhile sends it round again. Bounded, as
    // each round needs someone else to act in between.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            *error = "cannot create " + path + ": " + strerror(errno);
            return false;
        }
        bool created = fd >= 0;
        std::string why = created ? "" : judge_part(path, &fd);
        if (why.empty() && fd < 0) continue;
        // Locked before anything is judged: a part that another receiver holds is its own, whatever it
        // looks like meanwhile (a finished one takes its final mode just before its rename), and is
        // never removed from under it.
        if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int failed = errno;
            ::close(fd);
            *error = failed == EWOULDBLOCK ? "another tqr receive is writing " + path
                                           : "cannot lock " + path + ": " + strerror(failed);
            return false;
        }
        struct stat held {};
        PayloadHeader kept;
        uint64_t have = 0;
        if (why.empty() && !created &&
            (fstat(fd, &held) != 0 || !read_record(fd, static_cast<uint64_t>(held.st_size), &kept, &have)))
            why = "holds no record of what it is the start of";
        if (!why.empty()) {
            if (!fresh) {
                if (fd >= 0) ::close(fd);
                *error = "left " + path + " alone: it " + why +
                         "; --force starts afresh (or name another target with --output)";
                return false;
            }
            // Removed while this receiver holds its lock, so that no other one can have taken it
            // meanwhile; a file that took its name since it was judged is judged anew.
            if (fd >= 0 && !names_file(path, fd)) {
                ::close(fd);
                continue;
            }
            bool gone = unlink(path.c_str()) == 0 || errno == ENOENT;
            int failed = errno;
            if (fd >= 0) ::close(fd);
            if (!gone) {
                *error = "cannot remove " + path + " (it " + why + "): " + strerror(failed);
                return false;
            }
            if (removed) *removed = "removed " + path + ": it " + why;
            continue;
        }
        m_fd = fd;
        m_path = path;
        if (still_named()) return true;
        ::close(fd);
        m_fd = -1;
    }
    *error = "cannot lock " + path + ": it keeps being replaced";
    return false;
}

bool PartFile::still_named() const { return names_file(m_path, m_fd); }

int64_t PartFile::adopt(const PayloadHeader& header, bool* dropped) {
    ensure_sodium();
    m_header = header;
    m_continuable = header.kind == KIND_FILE && header.has_identity();
    m_have = 0;
    m_unsynced = 0;
    m_synced = std::chrono::steady_clock::now();
    *dropped = false;
    struct stat info {};
    if (fstat(m_fd, &info) != 0) return -1;
    uint64_t file_size = static_cast<uint64_t>(info.st_size);
    PayloadHeader kept;
    uint64_t have = 0;
    bool same = m_continuable && read_record(m_fd, file_size, &kept, &have) && kept.name == header.name &&
                kept.size == header.size && sodium_memcmp(kept.identity, header.identity, kIdentityBytes) == 0;
    if (!same) {
        *dropped = file_size > 0;
        if (ftruncate(m_fd, 0) != 0) return -1;
        return m_continuable && !write_record(0, 0) ? -1 : 0;
    }
    // What a cut piece left between the kept bytes and the record goes: the next piece's record must
    // end the file.
    if (file_size != have + kept.name.size() + kRecordFixed &&
        (ftruncate(m_fd, static_cast<off_t>(have)) != 0 || !write_record(have, have)))
        return -1;
    // The sender compares the hash of the kept bytes with that of the same range of its file.
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, kIdentityBytes);
    std::vector<unsigned char> buffer(1 << 20);
    for (uint64_t at = 0; at < have;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), have - at));
        if (!pread_all(m_fd, buffer.data(), want, at)) return -1;
        crypto_generichash_update(&state, buffer.data(), want);
        at += want;
    }
    crypto_generichash_final(&state, m_kept_hash, sizeof m_kept_hash);
    m_have = have;
    return static_cast<int64_t>(have);
}

bool PartFile::restart() {
    m_have = 0;
    return ftruncate(m_fd, 0) == 0 && (!m_continuable || write_record(0, 0));
}

// The piece overwrites the record that ends the part: a receiver killed while the piece is written
// (a write the kernel cuts short between pages) would leave a part without a record, which cannot be
// continued. So a record that still tells the bytes before the piece goes first, beyond the piece's
// end; once the piece is in, the record there is told of it.
bool PartFile::append(const unsigned char* data, size_t size) {
    if (m_continuable && !write_record(m_have, m_have + size)) {
        // A full disk, say: the record before the piece is untouched, and ends the part again once what
        // was written beyond it is cut off (if even that fails, the part holds no record, and the next
        // receiver says so).
        int failed = errno;
        off_t before = static_cast<off_t>(m_have + std::min(m_header.name.size(), kMaxNameBytes) + kRecordFixed);
        [[maybe_unused]] bool cut = ftruncate(m_fd, before) == 0;
        errno = failed;
        return false;
    }
    if (!pwrite_all(m_fd, data, size, m_have)) return false;
    m_have += size;
    return !m_continuable || (write_record(m_have, m_have) && checkpoint(size));
}

// Syncing every record (each 64 KiB chunk) would cost a disk flush per chunk. A power loss may take
// what came since the last checkpoint (or the record, and with it the part); whatever is kept is
// hashed, and compared with the sender's file, before it is continued.
bool PartFile::checkpoint(size_t appended) {
    m_unsynced += appended;
    auto now = std::chrono::steady_clock::now();
    if (m_unsynced < kCheckpointBytes && now - m_synced < std::chrono::seconds(kCheckpointSeconds)) return true;
    m_unsynced = 0;
    m_synced = now;
    return fdatasync(m_fd) == 0;
}

bool PartFile::write_record(uint64_t have, uint64_t at) {
    std::string name = m_header.name.substr(0, kMaxNameBytes);
    std::vector<unsigned char> record(name.size() + kRecordFixed);
    memcpy(record.data(), name.data(), name.size());
    unsigned char* fixed = record.data() + name.size();
    put_be(fixed, name.size(), 2);
    put_be(fixed + 2, m_header.size, 8);
    memcpy(fixed + 10, m_header.identity, kIdentityBytes);
    put_be(fixed + 10 + kIdentityBytes, have, 8);
    memcpy(fixed + 18 + kIdentityBytes, kRecordMagic, sizeof kRecordMagic);
    return pwrite_all(m_fd, record.data(), record.size(), at);
}

bool PartFile::finish() {
    if (ftruncate(m_fd, static_cast<off_t>(m_have)) != 0) return false;
    // Private while incomplete; now the mode any new file would get.
    mode_t mask = umask(0);
    umask(mask);
    // On disk before it is renamed: a power loss must never leave a short file under the final name.
    return fchmod(m_fd, 0666 & ~mask) == 0 && fsync(m_fd) == 0;
}

void PartFile::remove() {
    if (m_fd < 0) return;
    if (still_named()) unlink(m_path.c_str());
    close();
}

void PartFile::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

}  // namespace tqr
