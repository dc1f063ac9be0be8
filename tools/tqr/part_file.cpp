#include "tools/tqr/part_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// What a record says: the payload and how much of it precedes the record.
bool read_record(int fd, uint64_t file_size, PayloadHeader* header, uint64_t* have) {
    if (file_size < kRecordFixed) return false;
    unsigned char fixed[kRecordFixed];
    if (!pread_all(fd, fixed, sizeof fixed, file_size - kRecordFixed)) return false;
    if (memcmp(fixed + kRecordFixed - sizeof kRecordMagic, kRecordMagic, sizeof kRecordMagic) != 0) return false;
    size_t name_length = static_cast<size_t>(get_be(fixed, 2));
    header->size = get_be(fixed + 2, 8);
    memcpy(header->identity, fixed + 10, kIdentityBytes);
    *have = get_be(fixed + 10 + kIdentityBytes, 8);
    if (name_length > kMaxNameBytes || *have + name_length + kRecordFixed != file_size || *have > header->size)
        return false;
    header->name.resize(name_length);
    return name_length == 0 || pread_all(fd, reinterpret_cast<unsigned char*>(&header->name[0]), name_length, *have);
}

}  // namespace

PartFile::~PartFile() {
    close();
}

bool PartFile::open(const std::string& path, std::string* error) {
    // A part that another receiver removed between our open and our lock is not the one at `path`:
    // open again. Bounded, as each round needs another receiver to finish meanwhile.
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            *error = "cannot create " + path + ": " + strerror(errno);
            return false;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            *error = "another tqr receive is writing " + path;
            return false;
        }
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
            held.st_dev == named.st_dev) {
            if (!S_ISREG(held.st_mode)) {
                ::close(fd);
                *error = path + " is not a regular file";
                return false;
            }
            m_fd = fd;
            m_path = path;
            return true;
        }
        ::close(fd);
    }
    *error = "cannot lock " + path + ": it keeps being replaced";
    return false;
}

int64_t PartFile::adopt(const PayloadHeader& header, bool* dropped) {
    ensure_sodium();
    m_header = header;
    m_continuable = header.kind == KIND_FILE && header.has_identity();
    m_verify = false;
    m_have = 0;
    *dropped = false;
    crypto_generichash_init(&m_hash, nullptr, 0, kIdentityBytes);
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
        return m_continuable && !write_record() ? -1 : 0;
    }
    // The kept bytes go into the hash of the whole file, which must match the identity at the end.
    std::vector<unsigned char> buffer(1 << 20);
    for (uint64_t at = 0; at < have;) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), have - at));
        if (!pread_all(m_fd, buffer.data(), want, at)) return -1;
        crypto_generichash_update(&m_hash, buffer.data(), want);
        at += want;
    }
    m_have = have;
    m_verify = have > 0;
    return static_cast<int64_t>(have);
}

bool PartFile::append(const unsigned char* data, size_t size) {
    if (!pwrite_all(m_fd, data, size, m_have)) return false;
    m_have += size;
    if (m_verify) crypto_generichash_update(&m_hash, data, size);
    return !m_continuable || write_record();
}

bool PartFile::write_record() {
    std::string name = m_header.name.substr(0, kMaxNameBytes);
    std::vector<unsigned char> record(name.size() + kRecordFixed);
    memcpy(record.data(), name.data(), name.size());
    unsigned char* fixed = record.data() + name.size();
    put_be(fixed, name.size(), 2);
    put_be(fixed + 2, m_header.size, 8);
    memcpy(fixed + 10, m_header.identity, kIdentityBytes);
    put_be(fixed + 10 + kIdentityBytes, m_have, 8);
    memcpy(fixed + 18 + kIdentityBytes, kRecordMagic, sizeof kRecordMagic);
    return pwrite_all(m_fd, record.data(), record.size(), m_have);
}

bool PartFile::finish(bool* mismatch) {
    *mismatch = false;
    if (ftruncate(m_fd, static_cast<off_t>(m_have)) != 0) return false;
    if (m_verify) {
        unsigned char whole[kIdentityBytes];
        crypto_generichash_final(&m_hash, whole, sizeof whole);
        if (sodium_memcmp(whole, m_header.identity, kIdentityBytes) != 0) {
            *mismatch = true;
            return false;
        }
    }
    // Private while incomplete; now the mode any new file would get.
    mode_t mask = umask(0);
    umask(mask);
    return fchmod(m_fd, 0666 & ~mask) == 0;
}

void PartFile::remove() {
    if (m_fd < 0) return;
    unlink(m_path.c_str());
    close();
}

void PartFile::close() {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

}  // namespace tqr
