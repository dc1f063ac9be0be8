#include "folder/tree.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "folder/tree_disk.h"
#include "transfer/part_file.h"
#include "transfer/payload.h"

namespace tqr {

namespace {

using disk::components;
using disk::error_of;
using disk::same_version;
using disk::stays_inside;

constexpr size_t kReadBytes = 256 * 1024;        // of a file, per piece of the archive

// Opens the regular file that the scan found as `entry`, from the scanned folder `root` one folder at
// a time, following no symbolic link on the way. A file that is not the one scanned (another device or
// inode: a folder on its way was swapped for a link, or the file replaced) fails the link rather than
// being skipped: the archive's length, announced before the first byte, holds its entry. -1 with `*why`.
// `folder` keeps the last folder opened on the way, for the next file, which is mostly beside this one;
// `*info` is the file's.
int open_scanned(int root, const TreeSource::Entry& entry, OpenFolder* folder, struct stat* info, std::string* why) {
    std::vector<std::string> parts = components(entry.inner);
    if (parts.empty()) {
        *why = "it was replaced since the folder was scanned";
        return -1;
    }
    std::string inner = entry.inner.substr(0, entry.inner.size() - parts.back().size());
    if (folder->root != root || folder->inner != inner) {
        if (folder->fd >= 0) close(folder->fd);
        folder->fd = -1;
        folder->root = root;
        folder->inner.clear();
        int at = root;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
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
        folder->inner = inner;
    }
    int at = folder->fd >= 0 ? folder->fd : root;
    int fd = openat(at, parts.back().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
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

// The archive's entry of `entry`, as both the dry run and the stream write it.
archive_entry* make_entry(const TreeSource::Entry& entry) {
    archive_entry* made = archive_entry_new();
    archive_entry_copy_pathname(made, entry.path.c_str());
    archive_entry_set_filetype(made, entry.type);
    archive_entry_set_perm(made, entry.mode & 07777);
    archive_entry_set_mtime(made, entry.mtime.tv_sec, entry.mtime.tv_nsec);
    if (entry.type == S_IFREG) archive_entry_set_size(made, static_cast<la_int64_t>(entry.size));
    if (entry.type == S_IFLNK) archive_entry_copy_symlink(made, entry.target.c_str());
    return made;
}

// A pax writer, unblocked so that its length is the sum of what it writes, feeding `write`.
archive* new_writer(void* client, archive_write_callback* write) {
    archive* out = archive_write_new();
    archive_write_set_format_pax(out);
    // Names go as the bytes the file system holds, whatever their encoding (no locale conversion,
    // which fails on any name that is not ASCII in the C locale).
    archive_write_set_options(out, "hdrcharset=BINARY");
    archive_write_set_bytes_per_block(out, 0);
    if (archive_write_open2(out, client, nullptr, write, nullptr, nullptr) != ARCHIVE_OK) {
        archive_write_free(out);
        return nullptr;
    }
    return out;
}

la_ssize_t count_bytes(archive*, void* client, const void*, size_t size) {
    *static_cast<uint64_t*>(client) += size;
    return static_cast<la_ssize_t>(size);
}

la_ssize_t take_bytes(archive*, void* client, const void* data, size_t size) {
    static_cast<TreeStream*>(client)->take(data, size);
    return static_cast<la_ssize_t>(size);
}

}  // namespace

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

namespace {

// The bytes `entries` take in an archive of their own, and in `*tail` what that archive's end adds.
// The same entries written without their data, which the writer pads with zeros to the sizes the
// headers announce, until `stop` is set. false when no writer could be made.
bool measure_entries(const std::vector<TreeSource::Entry>& entries, uint64_t* body, uint64_t* tail,
                     const std::atomic<bool>& stop) {
    uint64_t length = 0;
    archive* dry = new_writer(&length, count_bytes);
    if (dry == nullptr) return false;
    for (const TreeSource::Entry& entry : entries) {
        if (stop.load(std::memory_order_relaxed)) break;
        archive_entry* made = make_entry(entry);
        archive_write_header(dry, made);
        archive_entry_free(made);
        archive_write_finish_entry(dry);
    }
    *body = length;
    archive_write_close(dry);
    archive_write_free(dry);
    *tail = length - *body;
    return true;
}

}  // namespace

// Measures the scan's entries while the scan goes on, a batch at a time, on a thread of its own: the
// scan keeps one core and the measure, which costs about as much, the other, so that the length is
// known soon after the last entry is found. An entry's bytes do not depend on the entries before it
// (the writer is unblocked), so the batches' lengths add up to the archive's. Made and ended by
// list() on the main thread; `m_mutex` guards the batches both ways and the sums, and is a leaf.
class TreeSource::Measurer {
public:
    explicit Measurer(const std::atomic<bool>& stop) : m_stop(stop) {
        try {
            m_thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread to be had: each batch is measured as it is handed over.
        }
    }
    ~Measurer() { end(); }

    void hand(std::vector<Entry>&& batch) {
        if (!m_thread.joinable()) {
            measure(batch);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting.push_back(std::move(batch));
        m_changed.notify_one();
    }
    // Waits for every batch handed over: the entries in their order and the archive's length. false
    // when no writer could be made.
    bool collect(std::vector<Entry>* entries, uint64_t* length) {
        end();
        size_t count = 0;
        for (const std::vector<Entry>& batch : m_measured) count += batch.size();
        entries->clear();
        entries->reserve(count);
        for (std::vector<Entry>& batch : m_measured)
            std::move(batch.begin(), batch.end(), std::back_inserter(*entries));
        m_measured.clear();
        *length = m_body + m_tail;
        return !m_failed;
    }

private:
    void end() {
        if (!m_thread.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ended = true;
            m_changed.notify_one();
        }
        m_thread.join();
    }
    void run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_changed.wait(lock, [this] { return m_ended || !m_waiting.empty(); });
            if (m_waiting.empty()) return;
            std::vector<Entry> batch = std::move(m_waiting.front());
            m_waiting.pop_front();
            lock.unlock();
            measure(batch);
            lock.lock();
        }
    }
    // On the measuring thread, or on the main one when there is none: never on both.
    void measure(std::vector<Entry>& batch) {
        uint64_t body = 0, tail = 0;
        bool made = measure_entries(batch, &body, &tail, m_stop);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failed |= !made;
        m_body += body;
        m_tail = tail;  // the same end closes every archive
        m_measured.push_back(std::move(batch));
    }

    const std::atomic<bool>& m_stop;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::vector<Entry>> m_waiting;
    std::vector<std::vector<Entry>> m_measured;  // in the order handed over
    uint64_t m_body = 0, m_tail = 0;
    bool m_failed = false, m_ended = false;
};

// Entries per batch of the measure: once the walk is done, only its last batch is left to measure.
constexpr size_t kMeasureBatch = 512;

void TreeSource::add(Entry&& entry) {
    m_entries.push_back(std::move(entry));
    if (m_measurer == nullptr || m_entries.size() < kMeasureBatch) return;
    m_measurer->hand(std::move(m_entries));
    m_entries.clear();
    m_entries.reserve(kMeasureBatch);
}

bool TreeSource::list(std::string* error, const std::function<void(const std::string&)>& note) {
    std::vector<Named> named;
    named.swap(m_named);
    Measurer measurer(m_stop);
    m_measurer = &measurer;
    // No more batches once the walk is over, however it ends.
    struct Unset {
        Measurer** at;
        ~Unset() { *at = nullptr; }
    } unset{&m_measurer};
    for (Named& one : named) {
        add(Entry(one.entry));
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
    measurer.hand(std::move(m_entries));
    uint64_t length = 0;
    bool made = measurer.collect(&m_entries, &length);
    if (!m_failure.empty()) {
        *error = m_failure;
        return false;
    }
    // A stop during the measure leaves a length that is no archive's.
    if (m_stop.load() || !made) {
        *error = m_stop.load() ? "stopped" : "cannot make an archive";
        return false;
    }
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
            add(std::move(entry));
            continue;
        }
        std::string below = entry.inner, shown = entry.path;
        add(std::move(entry));
        walk(fd, below, shown, note, depth + 1);
    }
    closedir(listing);
}

TreeStream::~TreeStream() {
    if (m_fd >= 0) close(m_fd);
    if (m_folder.fd >= 0) close(m_folder.fd);
    if (m_archive != nullptr) archive_write_free(m_archive);
}

bool TreeStream::start(std::string* error) {
    m_archive = new_writer(this, take_bytes);
    if (m_archive == nullptr) {
        *error = "cannot make an archive";
        return false;
    }
    return true;
}

// Fills `out` from as many entries as fit, so that a folder of small files goes in batches as a large
// file does, not a write and a few chunks per entry.
ssize_t TreeStream::read(char* out, size_t size) {
    m_out = out;
    m_given = 0;
    m_room = size;
    bool failed = false;
    while (m_given < m_room) {
        if (m_taken == m_buffer.size()) {
            m_buffer.clear();
            m_taken = 0;
            if (m_closed) break;
            if (!produce()) {
                failed = true;
                break;
            }
            continue;
        }
        size_t n = std::min(m_room - m_given, m_buffer.size() - m_taken);
        memcpy(out + m_given, m_buffer.data() + m_taken, n);
        m_taken += n;
        m_given += n;
    }
    m_out = nullptr;
    return failed ? -1 : static_cast<ssize_t>(m_given);
}

void TreeStream::take(const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    if (m_out != nullptr && m_taken == m_buffer.size()) {
        size_t n = std::min(size, m_room - m_given);
        memcpy(m_out + m_given, bytes, n);
        m_given += n;
        bytes += n;
        size -= n;
    }
    m_buffer.append(bytes, size);
}

// One more piece of the archive: a piece of the current file, the next entry's header, or the end.
bool TreeStream::produce() {
    const std::vector<TreeSource::Entry>& entries = m_source.entries_list();
    if (m_fd >= 0) {
        char piece[kReadBytes];
        ssize_t n = ::read(m_fd, piece, static_cast<size_t>(std::min<uint64_t>(sizeof piece, m_left)));
        if (n < 0 && errno == EINTR) return true;
        // The header announced the scanned size: a file that changed since cannot keep the archive whole.
        if (n <= 0) return fail(entries[m_next - 1].path + " shrank while it was sent");
        m_left -= static_cast<uint64_t>(n);
        // Before its last bytes go out: a file written meanwhile would arrive as no version it ever had.
        if (m_left == 0 && !same_version(m_fd, m_opened)) return fail(entries[m_next - 1].path + " changed while it was sent");
        if (archive_write_data(m_archive, piece, static_cast<size_t>(n)) != n) return fail(error_of(m_archive));
        if (m_left == 0) {
            close(m_fd);
            m_fd = -1;
        }
        return true;
    }
    if (m_next == entries.size()) {
        m_closed = true;
        return archive_write_close(m_archive) == ARCHIVE_OK || fail(error_of(m_archive));
    }
    const TreeSource::Entry& entry = entries[m_next++];
    if (entry.type == S_IFREG) {
        std::string why;
        struct stat info {};
        m_fd = open_scanned(m_source.folder_of(entry), entry, &m_folder, &info, &why);
        if (m_fd < 0) return fail("cannot read " + entry.path + ": " + why);
        // The header gives the scan's size and time.
        if (static_cast<uint64_t>(info.st_size) != entry.size || info.st_mtim.tv_sec != entry.mtime.tv_sec ||
            info.st_mtim.tv_nsec != entry.mtime.tv_nsec)
            return fail(entry.path + " changed since the folder was scanned");
        m_opened = info;
        m_left = entry.size;
    }
    archive_entry* made = make_entry(entry);
    int written = archive_write_header(m_archive, made);
    archive_entry_free(made);
    if (written != ARCHIVE_OK) return fail(error_of(m_archive));
    if (m_fd >= 0 && m_left == 0) {
        close(m_fd);
        m_fd = -1;
    }
    return true;
}

bool TreeStream::fail(const std::string& what) {
    m_error = what;
    return false;
}

}  // namespace tqr
