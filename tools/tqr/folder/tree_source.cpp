#include "folder/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "folder/tree_disk.h"
#include "transfer/part_file.h"
#include "transfer/payload.h"

namespace tqr {

namespace {

using disk::components;
using disk::same_version;
using disk::stays_inside;

// Opens the regular file that the scan found as `entry`, from the scanned folder `root` one folder at
// a time, following no symbolic link on the way. A file that is not the one scanned (another device or
// inode: a folder on its way was swapped for a link, or the file replaced) fails the link rather than
// being skipped: the archive's length, announced before the first byte, holds its entry. -1 with `*why`.
// `folder` keeps the last folder opened on the way, for the next file, which is mostly beside this one;
// `*info` is the file's.
int open_scanned(int root, const TreeSource::Entry& entry, OpenFolder* folder, struct stat* info, std::string* why) {
    // The walk names a file by its folders and its own name, each a name it read, none empty nor ".".
    const size_t slash = entry.inner.find_last_of('/');
    const size_t leaf = slash == std::string::npos ? 0 : slash + 1;
    if (leaf == entry.inner.size()) {
        *why = "it was replaced since the folder was scanned";
        return -1;
    }
    if (folder->root != root || folder->inner.compare(0, std::string::npos, entry.inner, 0, leaf) != 0) {
        if (folder->fd >= 0) close(folder->fd);
        folder->fd = -1;
        folder->root = root;
        folder->inner.clear();
        std::vector<std::string> parts = components(entry.inner.substr(0, leaf));
        int at = root;
        for (size_t i = 0; i < parts.size(); ++i) {
            int next = openat(at, parts[i].c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_DIRECTORY);
            int failed = errno;
            if (at != root) close(at);
            if (next < 0) {
                *why = failed == ELOOP || failed == ENOTDIR ? "a symbolic link stands where the scan found a folder or file"
                                                           : strerror(failed);
                return -1;
            }
            at = next;
        }
        folder->fd = at == root ? -1 : at;
        folder->inner.assign(entry.inner, 0, leaf);
    }
    int at = folder->fd >= 0 ? folder->fd : root;
    int fd = openat(at, entry.inner.c_str() + leaf, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        *why = errno == ELOOP ? "a symbolic link stands where the scan found a folder or file" : strerror(errno);
        return -1;
    }
    if (fstat(fd, info) == 0 && S_ISREG(info->st_mode) && info->st_dev == entry.device && info->st_ino == entry.inode)
        return fd;
    close(fd);
    *why = "it was replaced since the folder was scanned";
    return -1;
}

constexpr size_t kBlock = 512;                   // of the archive: headers and padded data
constexpr uint64_t kOctalMost = 077777777777;    // what a ustar size or time field holds

// A ustar number field of `width` bytes: octal digits and a NUL, or, for a size beyond them, the
// base-256 form that libarchive and GNU tar both read.
void number_field(char* field, size_t width, uint64_t value) {
    if (value > kOctalMost && width == 12) {
        field[0] = static_cast<char>(0x80);
        for (size_t i = width; i-- > 1; value >>= 8) field[i] = static_cast<char>(value & 0xff);
        return;
    }
    field[width - 1] = '\0';
    for (size_t i = width - 1; i-- > 0; value >>= 3) field[i] = static_cast<char>('0' + (value & 7));
}

// The sum of a block's bytes, as its checksum field wants it, eight bytes at a time: the even and the
// odd bytes of each word add up in four 16-bit lanes, which 64 words fill to at most 2 * 64 * 255.
static_assert(kBlock % 8 == 0 && kBlock / 8 * 2 * 255 < 65536, "a lane must not overflow");
unsigned byte_sum(const char* block) {
    constexpr uint64_t kLanes = 0x00ff00ff00ff00ffULL;
    uint64_t lanes = 0;
    for (size_t i = 0; i < kBlock; i += 8) {
        uint64_t word;
        memcpy(&word, block + i, sizeof word);
        lanes += (word & kLanes) + ((word >> 8) & kLanes);
    }
    return static_cast<unsigned>((lanes & 0xffff) + ((lanes >> 16) & 0xffff) + ((lanes >> 32) & 0xffff) + (lanes >> 48));
}

// Fills the zeroed `block` as the ustar header of `name` (cut to its field; a record carries it whole).
void fill_block(char* block, const char* name, size_t name_size, char type, mode_t perm, uint64_t size,
                uint64_t mtime, const std::string& link) {
    memcpy(block, name, std::min<size_t>(name_size, 100));
    number_field(block + 100, 8, perm & 07777);
    number_field(block + 108, 8, 0);  // uid and gid: the receiver's own
    number_field(block + 116, 8, 0);
    number_field(block + 124, 12, size);
    number_field(block + 136, 12, mtime);
    block[156] = type;
    memcpy(block + 157, link.data(), std::min<size_t>(link.size(), 100));
    memcpy(block + 257, "ustar", 6);
    memcpy(block + 263, "00", 2);
    number_field(block + 329, 8, 0);
    number_field(block + 337, 8, 0);
    memset(block + 148, ' ', 8);
    number_field(block + 148, 7, byte_sum(block));  // six digits and a NUL, then the field's last space
}

// `value` in decimal at the end of `out` (at least 20 bytes of room): the count of its digits.
size_t put_decimal(char* out, uint64_t value) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    for (size_t i = 0; i < n; ++i) out[i] = digits[n - 1 - i];
    return n;
}

size_t decimal_digits(uint64_t value) {
    size_t n = 1;
    while (value >= 10) value /= 10, ++n;
    return n;
}

// The length of a pax record "LENGTH key=value\n", which counts its own digits.
size_t record_size(size_t key_size, size_t value_size) {
    const size_t body = 1 + key_size + 1 + value_size + 1;
    size_t digits = decimal_digits(body + 1);
    if (decimal_digits(body + digits) != digits) ++digits;
    return body + digits;
}

// One record of an entry's extended header; with `slash`, the value ends in one more "/" (a
// folder's path).
struct Record {
    const char* key;
    size_t key_size;
    const char* value;
    size_t value_size;
    bool slash;
    size_t size() const { return record_size(key_size, value_size + (slash ? 1 : 0)); }
};

void append_record(std::string* out, const Record& record) {
    char length[20];
    out->append(length, put_decimal(length, record.size())).append(1, ' ').append(record.key, record.key_size);
    out->append(1, '=').append(record.value, record.value_size).append(record.slash ? "/\n" : "\n");
}

// What a ustar field holds as it stands: ASCII that fits. Anything else goes in a record.
bool fits_field(const std::string& text) {
    return text.size() <= 100 && std::all_of(text.begin(), text.end(), [](char c) { return (c & 0x80) == 0; });
}

size_t padding(uint64_t size) { return static_cast<size_t>((kBlock - size % kBlock) % kBlock); }

// A time as a record gives it: the seconds, then the nanoseconds after them without their trailing
// zeros (none at all for a whole second). A time before 1970 is the seconds and then the nanoseconds
// after them, as libarchive writes and reads it ("-2.5" for 2 s before the epoch and half a second
// after that). `out` has room for 32 bytes.
size_t put_time(char* out, const timespec& time) {
    size_t n = 0;
    uint64_t seconds = static_cast<uint64_t>(time.tv_sec);
    if (time.tv_sec < 0) {
        out[n++] = '-';
        seconds = 0 - seconds;
    }
    n += put_decimal(out + n, seconds);
    long nanoseconds = time.tv_nsec;
    if (nanoseconds <= 0 || nanoseconds >= 1000000000) return n;
    out[n++] = '.';
    for (long unit = 100000000; unit > 0 && nanoseconds > 0; unit /= 10) {
        out[n++] = static_cast<char>('0' + nanoseconds / unit);
        nanoseconds %= unit;
    }
    return n;
}


// What an entry's two headers hold, worked out once for measuring and for writing them: its extended
// header's records, and the fields of both. Points into the entry, which must outlive it.
struct EntryHeader {
    explicit EntryHeader(const TreeSource::Entry& entry)
        : folder(entry.type == S_IFDIR),
          link(entry.type == S_IFLNK ? entry.target : kNoLink),
          size(entry.type == S_IFREG ? entry.size : 0),
          ustar_time(entry.mtime.tv_sec >= 0 && static_cast<uint64_t>(entry.mtime.tv_sec) <= kOctalMost
                         ? static_cast<uint64_t>(entry.mtime.tv_sec)
                         : 0) {
        const std::string& path = entry.path;
        add("hdrcharset", "BINARY", 6);
        // A folder's name ends in a slash.
        if (path.size() + (folder ? 1 : 0) > 100 || !fits_field(path)) add("path", path.data(), path.size(), folder);
        if (!fits_field(link)) add("linkpath", link.data(), link.size());
        if (size > kOctalMost) add("size", decimal, put_decimal(decimal, size));
        add("mtime", time_text, put_time(time_text, entry.mtime));
        for (size_t i = 0; i < count; ++i) records_size += records[i].size();
    }
    EntryHeader(const EntryHeader&) = delete;
    EntryHeader& operator=(const EntryHeader&) = delete;

    // Both headers, the records padded to whole blocks between them.
    size_t bytes() const { return kBlock + records_size + padding(records_size) + kBlock; }

    static const std::string kNoLink;
    const bool folder;
    const std::string& link;
    const uint64_t size;
    const uint64_t ustar_time;
    Record records[5];
    size_t count = 0;
    size_t records_size = 0;

private:
    template <size_t N>
    void add(const char (&key)[N], const char* value, size_t value_size, bool slash = false) {
        records[count++] = Record{key, N - 1, value, value_size, slash};
    }
    char time_text[32];
    char decimal[20];
};

const std::string EntryHeader::kNoLink;

}  // namespace

size_t header_size(const TreeSource::Entry& entry) { return EntryHeader(entry).bytes(); }

// Written here rather than by libarchive's writer, which allocated and copied each entry twice over
// and had to write the whole archive once without data to learn its length. Laid out as that writer
// lays it out, since receivers read it with libarchive: each entry has a record of its time to the
// nanosecond, and "hdrcharset=BINARY" (names are the file system's bytes, in no known encoding).
void append_header(const TreeSource::Entry& entry, std::string* out) {
    const EntryHeader header(entry);
    const std::string& path = entry.path;
    const size_t start = out->size();
    out->append(kBlock, '\0');  // the extended header, filled once its records are in
    for (size_t i = 0; i < header.count; ++i) append_record(out, header.records[i]);
    out->append(padding(header.records_size), '\0');
    // "PaxHeader/" and the entry's last name, cut to the name field as fill_block cuts it.
    char pax_name[100];
    memcpy(pax_name, "PaxHeader/", 10);
    const size_t slash = path.find_last_of('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const size_t base_size = std::min(path.size() - base, sizeof pax_name - 10);
    memcpy(pax_name + 10, path.data() + base, base_size);
    fill_block(&(*out)[start], pax_name, 10 + base_size, 'x', 0644, header.records_size, header.ustar_time,
               EntryHeader::kNoLink);
    const size_t main = out->size();
    out->append(kBlock, '\0');
    const char type = header.folder ? '5' : entry.type == S_IFLNK ? '2' : '0';
    char field_name[100];
    size_t field_size = std::min(path.size(), sizeof field_name);
    memcpy(field_name, path.data(), field_size);
    if (header.folder && field_size < sizeof field_name) field_name[field_size++] = '/';
    fill_block(&(*out)[main], field_name, field_size, type, entry.mode, header.size, header.ustar_time, header.link);
}

TreeSource::~TreeSource() {
    for (const Named& one : m_named)
        if (one.listing >= 0) close(one.listing);
    if (m_root_fd >= 0) close(m_root_fd);
    for (int fd : m_roots) close(fd);
}

bool TreeSource::open(const std::string& root, std::string* error) {
    char resolved[PATH_MAX];
    struct stat info {};
    int fd = realpath(root.c_str(), resolved) == nullptr ? -1 : ::open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &info) != 0) {
        *error = "cannot read the folder " + root + ": " + strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (m_root_fd >= 0) close(m_root_fd);
    m_root_fd = fd;
    m_root = resolved;
    m_name = m_root == "/" ? "root" : m_root.substr(m_root.find_last_of('/') + 1);
    m_entries.clear();
    m_content = 0;
    Named folder;
    folder.entry.path = m_name;
    folder.entry.type = S_IFDIR;
    folder.entry.mode = info.st_mode;
    folder.entry.mtime = info.st_mtim;
    folder.entry.device = info.st_dev;
    folder.entry.inode = info.st_ino;
    folder.listing = dup(fd);
    if (folder.listing < 0) {
        *error = "cannot read the folder " + root + ": " + strerror(errno);
        return false;
    }
    m_named.push_back(folder);
    return true;
}

bool TreeSource::open_set(const std::vector<std::string>& paths, const std::string& top, std::string* error) {
    m_name = top;
    m_set = true;
    Entry folder;
    folder.path = top;
    folder.type = S_IFDIR;
    folder.mode = S_IFDIR | 0755;
    clock_gettime(CLOCK_REALTIME, &folder.mtime);
    m_entries.push_back(folder);
    m_floor = 1;
    std::vector<std::string> names;
    for (const std::string& path : paths) {
        char resolved[PATH_MAX];
        struct stat info {};
        std::string place = realpath(path.c_str(), resolved) ? resolved : "";
        size_t slash = place.find_last_of('/');
        std::string parent = slash == 0 ? "/" : place.substr(0, slash), base = place.substr(slash + 1);
        int fd = place.size() > 1 ? ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        if (fd < 0 || fstatat(fd, base.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            *error = "cannot read " + path + ": " + (place.size() == 1 ? "the root folder goes only alone" : strerror(errno));
            if (fd >= 0) close(fd);
            return false;
        }
        m_roots.push_back(fd);
        if (std::find(names.begin(), names.end(), base) != names.end()) {
            *error = "two of the files to send are named " + base + ": send them in two goes, or from folders";
            return false;
        }
        names.push_back(base);
        Named named;
        Entry& entry = named.entry;
        entry.root = m_roots.size() - 1;
        entry.inner = base;
        entry.path = top + "/" + base;
        entry.type = info.st_mode & S_IFMT;
        entry.mode = info.st_mode;
        entry.mtime = info.st_mtim;
        entry.device = info.st_dev;
        entry.inode = info.st_ino;
        if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
            *error = "cannot send " + path + ": it is neither a file nor a folder";
            return false;
        }
        entry.size = S_ISREG(info.st_mode) ? static_cast<uint64_t>(info.st_size) : 0;
        if (S_ISDIR(info.st_mode)) {
            named.listing = openat(fd, base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (named.listing < 0) {
                *error = "cannot read the folder " + path + ": " + strerror(errno);
                return false;
            }
        }
        m_named.push_back(named);
    }
    return true;
}

bool TreeSource::list(std::string* error, const std::function<void(const std::string&)>& tell) {
    // A folder that others may write in may hold millions of what is skipped (fifos, say).
    size_t told = 0;
    uint64_t untold = 0;
    auto note = [&](const std::string& line) {
        if (told < kListedEntries) {
            ++told;
            tell(line);
        } else {
            ++untold;
        }
    };
    std::vector<Named> named;
    named.swap(m_named);
    for (Named& one : named) {
        m_entries.push_back(one.entry);
        m_content += one.entry.size;
        if (one.listing < 0) continue;
        m_walk_root = one.entry.root;
        if (!m_set) {
            walk(one.listing, one.entry.inner, one.entry.path, note, 1);
            continue;
        }
        // The lines name what the person gave, not the folder that holds it only in the archive.
        const std::string& top = m_name;
        walk(one.listing, one.entry.inner, one.entry.path, [&](const std::string& line) {
            size_t at = line.find(top + "/");
            note(at == std::string::npos ? line : line.substr(0, at) + line.substr(at + top.size() + 1));
        }, 1);
    }
    if (untold > 0) tell("skipped " + std::to_string(untold) + " more entries, not listed");
    if (!m_failure.empty()) {
        *error = m_failure;
        return false;
    }
    if (m_stop.load()) {
        *error = "stopped";
        return false;
    }
    uint64_t length = 2 * kBlock;  // the end
    for (const Entry& entry : m_entries) length += header_size(entry) + entry.size + padding(entry.size);
    m_archive_size = length;
    return true;
}

void TreeSource::give_up(const std::string& why) {
    if (m_failure.empty()) m_failure = why;
    m_stop.store(true);
}

namespace {

// No descriptor to be had: a limit of the process or the system, not the entry's fault.
bool out_of_descriptors(int error) { return error == EMFILE || error == ENFILE; }

}  // namespace

// Lists the folder open as `folder` (which this call closes), `depth` levels below the top, then each
// of its entries from it.
void TreeSource::walk(int folder, const std::string& inner, const std::string& path,
                      const std::function<void(const std::string&)>& note, int depth) {
    if (m_stop.load()) {
        close(folder);
        return;
    }
    if (depth > kMostDepth) {
        // The path itself would fill the screen.
        give_up("cannot send " + path.substr(0, path.find('/')) + ": its folders nest more than " +
                std::to_string(kMostDepth) + " deep");
        close(folder);
        return;
    }
    DIR* listing = fdopendir(folder);
    if (listing == nullptr) {
        note("skipped " + path + ": " + strerror(errno));
        close(folder);
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* found = readdir(listing)) {
        if (m_stop.load(std::memory_order_relaxed)) break;
        if (strcmp(found->d_name, ".") != 0 && strcmp(found->d_name, "..") != 0) names.push_back(found->d_name);
        errno = 0;
    }
    // A listing cut short by the file system is said, not passed off as the whole folder.
    int failed = errno;
    if (m_stop.load(std::memory_order_relaxed))
        names.clear();
    else if (failed != 0)
        note("incomplete listing of " + path + ": " + strerror(failed));
    // Sorted, so that every link gets the same archive.
    std::sort(names.begin(), names.end());
    int at = dirfd(listing);
    for (const std::string& name : names) {
        if (m_stop.load(std::memory_order_relaxed)) break;
        Entry entry;
        entry.root = m_walk_root;
        entry.inner = inner.empty() ? name : inner + "/" + name;
        entry.path = path + "/" + name;
        struct stat info {};
        if (fstatat(at, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            note("skipped " + entry.path + ": " + strerror(errno));
            continue;
        }
        mode_t type = info.st_mode & S_IFMT;
        int fd = -1;
        if (S_ISREG(info.st_mode)) {
            // Left out when it cannot be read; whatever stands there by the time it is sent must be this
            // very file (open_scanned), so a check by name suffices here and costs one call, not three.
            // A file of this user that its owner may read needs none: no access list narrows the
            // owner's bits (a denial beyond them, by a security module, shows when it is sent).
            bool owner_reads = info.st_uid == m_euid && (info.st_mode & S_IRUSR) != 0;
            if (!owner_reads && faccessat(at, name.c_str(), R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
                note("skipped " + entry.path + ": " + strerror(errno));
                continue;
            }
        } else if (S_ISDIR(info.st_mode)) {
            // What is read is what was opened: a link put in its place since fstatat is not followed.
            fd = openat(at, name.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (S_ISDIR(info.st_mode) ? O_DIRECTORY : 0));
            if (fd < 0 && out_of_descriptors(errno)) {
                give_up("cannot read " + entry.path + ": " + strerror(errno));
                break;
            }
            if (fd < 0 || fstat(fd, &info) != 0 || (info.st_mode & S_IFMT) != type) {
                note("skipped " + entry.path + ": " + (fd < 0 ? strerror(errno) : "it changed while it was scanned"));
                if (fd >= 0) close(fd);
                continue;
            }
        }
        entry.type = type;
        entry.mode = info.st_mode;
        entry.mtime = info.st_mtim;
        entry.device = info.st_dev;
        entry.inode = info.st_ino;
        if (S_ISREG(info.st_mode)) {
            entry.size = static_cast<uint64_t>(info.st_size);
            m_content += entry.size;
        } else if (S_ISLNK(info.st_mode)) {
            // One buffer for the whole walk, not one on the stack of every level (nor a PATH_MAX
            // capacity kept by every link's entry).
            m_link_buffer.resize(PATH_MAX);
            ssize_t length = readlinkat(at, name.c_str(), &m_link_buffer[0], m_link_buffer.size() - 1);
            if (length < 0) {
                note("skipped " + entry.path + ": " + strerror(errno));
                continue;
            }
            entry.target.assign(m_link_buffer.data(), static_cast<size_t>(length));
            std::vector<std::string> dir = components(entry.inner);
            dir.pop_back();
            if (!stays_inside(dir, entry.target, m_floor)) {
                note("skipped " + entry.path + ": " +
                     (entry.target.compare(0, 1, "/") == 0 ? "an absolute link, which names a place on this machine only"
                                                           : "a link that leads out of the folder") +
                     " (" + entry.target + ")");
                continue;
            }
            // Judged as the receiver judges it once everything is in: followed on disk, through the
            // links beside it, so that what is served is what arrives.
            if (!disk::resolves_beneath(folder_of(entry), components(entry.inner), m_floor)) {
                note("skipped " + entry.path + ": a link that leads out of the folder through the links on its way, "
                     "or round in a loop (" + entry.target + ")");
                continue;
            }
        } else if (!S_ISDIR(info.st_mode)) {
            note("skipped " + entry.path + ": " +
                 (S_ISFIFO(info.st_mode)   ? "a fifo"
                  : S_ISSOCK(info.st_mode) ? "a socket"
                                           : "a device node"));
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            m_entries.push_back(std::move(entry));
            continue;
        }
        std::string below = entry.inner, shown = entry.path;
        m_entries.push_back(std::move(entry));
        walk(fd, below, shown, note, depth + 1);
    }
    closedir(listing);
}

TreeStream::~TreeStream() {
    if (m_fd >= 0) close(m_fd);
    if (m_folder.fd >= 0) close(m_folder.fd);
}

// Fills `out` from as many entries as fit, so that a folder of small files goes in batches as a large
// file does, not a write and a few chunks per entry. A file's bytes are read straight into `out`.
ssize_t TreeStream::read(char* out, size_t size) {
    size_t given = 0;
    while (given < size) {
        if (m_taken < m_buffer.size()) {
            size_t n = std::min(size - given, m_buffer.size() - m_taken);
            memcpy(out + given, m_buffer.data() + m_taken, n);
            m_taken += n;
            given += n;
        } else if (m_fd >= 0) {
            ssize_t n = read_file(out + given, size - given);
            if (n < 0) return -1;
            given += static_cast<size_t>(n);
        } else if (m_closed) {
            break;
        } else if (!begin_next()) {
            return -1;
        }
    }
    return static_cast<ssize_t>(given);
}

// Up to `room` bytes of the current file into `out`; at its end, its padding is next.
ssize_t TreeStream::read_file(char* out, size_t room) {
    ssize_t n = ::read(m_fd, out, static_cast<size_t>(std::min<uint64_t>(room, m_left)));
    if (n < 0 && errno == EINTR) return 0;
    const std::vector<TreeSource::Entry>& entries = m_source.entries_list();
    // The header announced the scanned size: a file that changed since cannot keep the archive whole.
    if (n <= 0) {
        fail(n == 0 ? entries[m_next - 1].path + " shrank while it was sent"
                    : "cannot read " + entries[m_next - 1].path + ": " + strerror(errno));
        return -1;
    }
    m_left -= static_cast<uint64_t>(n);
    if (m_left > 0) return n;
    // Before its last bytes go out: a file written meanwhile would arrive as no version it ever had.
    if (!same_version(m_fd, m_opened)) {
        fail(entries[m_next - 1].path + " changed while it was sent");
        return -1;
    }
    close(m_fd);
    m_fd = -1;
    m_buffer.assign(padding(entries[m_next - 1].size), '\0');
    m_taken = 0;
    return n;
}

// The next entry's header, with its file opened when it has data, or the archive's end.
bool TreeStream::begin_next() {
    const std::vector<TreeSource::Entry>& entries = m_source.entries_list();
    m_buffer.clear();
    m_taken = 0;
    if (m_next == entries.size()) {
        m_closed = true;
        m_buffer.assign(2 * kBlock, '\0');
        return true;
    }
    const TreeSource::Entry& entry = entries[m_next++];
    if (entry.type == S_IFREG) {
        std::string why;
        struct stat info {};
        int fd = open_scanned(m_source.folder_of(entry), entry, &m_folder, &info, &why);
        if (fd < 0) return fail("cannot read " + entry.path + ": " + why);
        // The header gives the scan's size and time.
        if (static_cast<uint64_t>(info.st_size) != entry.size || info.st_mtim.tv_sec != entry.mtime.tv_sec ||
            info.st_mtim.tv_nsec != entry.mtime.tv_nsec) {
            close(fd);
            return fail(entry.path + " changed since the folder was scanned");
        }
        if (entry.size > 0) {
            m_fd = fd;
            m_opened = info;
            m_left = entry.size;
        } else {
            close(fd);
        }
    }
    append_header(entry, &m_buffer);
    return true;
}

bool TreeStream::fail(const std::string& what) {
    m_error = what;
    return false;
}

}  // namespace tqr
