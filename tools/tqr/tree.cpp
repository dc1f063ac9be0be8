#include "tools/tqr/tree.h"

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
#include <filesystem>

#include "tools/tqr/part_file.h"
#include "tools/tqr/payload.h"

namespace tqr {

namespace {

constexpr size_t kReadBytes = 256 * 1024;        // of a file, per piece of the archive
constexpr size_t kQueueBytes = 4 * 1024 * 1024;  // arrived and not yet extracted, at most

// The components of a relative path, without empty ones and ".".
std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    for (size_t at = 0; at <= path.size();) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(at, slash - at);
        if (!part.empty() && part != ".") parts.push_back(part);
        at = slash + 1;
    }
    return parts;
}

// Whether a link in the folder `dir` (components below the top) to `target` stays inside the tree,
// and below the first `floor` components of `dir` (a set's entry: inside its own folder).
bool stays_inside(std::vector<std::string> dir, const std::string& target, size_t floor = 0) {
    if (target.empty() || target[0] == '/') return false;
    for (const std::string& part : components(target)) {
        if (part != "..") {
            dir.push_back(part);
        } else if (dir.size() <= floor) {
            return false;
        } else {
            dir.pop_back();
        }
    }
    return true;
}

// Whether the symbolic link at `at` (components below the folder open as `root`) leads to a place
// beneath `root` when followed as the kernel follows it: through the links on disk on its way, whose
// own targets count from where they are. A name that is not there is taken as it reads (nothing can be
// reached through it). A link that needs more than kMaxFollowed links or kMaxSteps names to follow
// is taken as leading out, so that judging one costs a bounded number of calls.
bool resolves_beneath(int root, const std::vector<std::string>& at, size_t floor = 0) {
    constexpr int kMaxFollowed = 40, kMaxSteps = 1024;
    std::vector<std::string> place(at.begin(), at.end() - 1);
    std::vector<std::string> todo{at.back()};  // names still to walk, the next one last
    int followed = 0;
    for (int steps = 0; !todo.empty(); ++steps) {
        if (steps == kMaxSteps) return false;
        std::string part = todo.back();
        todo.pop_back();
        if (part == "..") {
            if (place.size() <= floor) return false;
            place.pop_back();
            continue;
        }
        place.push_back(part);
        std::string inner;
        for (const std::string& name : place) inner += (inner.empty() ? "" : "/") + name;
        struct stat info {};
        if (fstatat(root, inner.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(info.st_mode)) continue;
        char target[PATH_MAX];
        ssize_t length = readlinkat(root, inner.c_str(), target, sizeof target - 1);
        if (length <= 0 || target[0] == '/' || ++followed > kMaxFollowed) return false;
        place.pop_back();
        std::vector<std::string> more = components(std::string(target, static_cast<size_t>(length)));
        todo.insert(todo.end(), more.rbegin(), more.rend());
    }
    return true;
}

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

// libarchive's last error, which may be none.
std::string error_of(archive* failed) {
    const char* text = archive_error_string(failed);
    return text ? text : "an unknown error";
}

la_ssize_t count_bytes(archive*, void* client, const void*, size_t size) {
    *static_cast<uint64_t*>(client) += size;
    return static_cast<la_ssize_t>(size);
}

la_ssize_t take_bytes(archive*, void* client, const void* data, size_t size) {
    static_cast<TreeStream*>(client)->take(data, size);
    return static_cast<la_ssize_t>(size);
}

la_ssize_t pull_bytes(archive*, void* client, const void** data) {
    return static_cast<TreeSink*>(client)->pull(data);
}

// One walk of flush_tree, on the thread that walks (nftw takes no context).
struct FlushWalk {
    bool start_only = false;  // the first pass: only start each file's writeback
    bool missed = false;      // something could not be opened (a mode that denies reading, say)
    int failed = 0;           // the errno of a flush that failed
};
thread_local FlushWalk t_flush;

int flush_entry(const char* path, const struct stat*, int type, struct FTW*) {
    bool file = type == FTW_F, folder = type == FTW_DP;
    if (type == FTW_DNR || type == FTW_NS) t_flush.missed = true;
    if (!file && !(folder && !t_flush.start_only)) return 0;
    int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        t_flush.missed = true;
        return 0;
    }
    if (t_flush.start_only) {
        sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    } else if (fsync(fd) != 0) {
        t_flush.failed = errno;
    }
    close(fd);
    return t_flush.failed != 0;
}

// Whether syncfs on this file system waits for every file's data and metadata and for the disk's own
// cache, as an fsync of each would: true of ext4, XFS and btrfs (with the errors of any file reported
// since Linux 5.8); and of tmpfs and ramfs, in memory only, where neither flushes anything. Elsewhere
// (FUSE, network file systems) it may do less, or nothing.
bool syncfs_is_whole(int fd) {
    struct statfs info {};
    if (fstatfs(fd, &info) != 0) return false;
    typedef decltype(info.f_type) Type;
    return info.f_type == 0xEF53 || info.f_type == 0x58465342 || info.f_type == static_cast<Type>(0x9123683E) ||
           info.f_type == 0x01021994 || info.f_type == static_cast<Type>(0x858458F6);
}

// Puts every file and folder below `root` on disk. One syncfs where it is as durable (a folder of
// 10,000 small files: a tenth of the time of an fsync each); elsewhere each is fsync'ed, folders
// after what they hold, with the writeback of all files started first so that the fsyncs do not each
// wait for the disk in turn, and what cannot be opened is left to syncfs. Names are walked with
// nftw's few descriptors, however deep the folder goes.
bool flush_tree(const std::string& root, int root_fd, std::string* error) {
    t_flush = FlushWalk{};
    if (syncfs_is_whole(root_fd)) t_flush.missed = true;
    t_flush.start_only = true;
    if (!t_flush.missed) nftw(root.c_str(), flush_entry, 16, FTW_PHYS);
    t_flush.start_only = false;
    if (!t_flush.missed && nftw(root.c_str(), flush_entry, 16, FTW_PHYS | FTW_DEPTH) != 0 && t_flush.failed == 0)
        t_flush.missed = true;
    if (t_flush.missed && t_flush.failed == 0 && syncfs(root_fd) != 0) t_flush.failed = errno;
    if (t_flush.failed == 0) return true;
    *error = "cannot flush the folder to disk: " + std::string(strerror(t_flush.failed));
    return false;
}

}  // namespace

TreeSource::~TreeSource() {
    if (m_root_fd >= 0) close(m_root_fd);
    for (int fd : m_roots) close(fd);
}

bool TreeSource::scan(const std::string& root, std::string* error,
                      const std::function<void(const std::string&)>& note) {
    char resolved[PATH_MAX];
    struct stat info {};
    int fd = realpath(root.c_str(), resolved) == nullptr ? -1 : open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
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
    Entry folder;
    folder.path = m_name;
    folder.type = S_IFDIR;
    folder.mode = info.st_mode;
    folder.mtime = info.st_mtim;
    folder.device = info.st_dev;
    folder.inode = info.st_ino;
    m_entries.push_back(folder);
    int listing = dup(fd);
    if (listing < 0) {
        *error = "cannot read the folder " + root + ": " + strerror(errno);
        return false;
    }
    walk(listing, "", m_name, note);
    return measure(error);
}

bool TreeSource::scan_set(const std::vector<std::string>& paths, const std::string& top, std::string* error,
                          const std::function<void(const std::string&)>& note) {
    m_name = top;
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
        int fd = place.size() > 1 ? open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
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
        Entry entry;
        entry.root = m_walk_root = m_roots.size() - 1;
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
        m_content += entry.size;
        m_entries.push_back(entry);
        if (!S_ISDIR(info.st_mode)) continue;
        int listing = openat(fd, base.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (listing < 0) {
            *error = "cannot read the folder " + path + ": " + strerror(errno);
            return false;
        }
        // The lines name what the person gave, not the folder that holds it only in the archive.
        walk(listing, base, entry.path, [&](const std::string& line) {
            size_t at = line.find(top + "/");
            note(at == std::string::npos ? line : line.substr(0, at) + line.substr(at + top.size() + 1));
        });
    }
    return measure(error);
}

// The exact length: the same entries written without their data, which the writer pads with zeros to
// the sizes the headers announce.
bool TreeSource::measure(std::string* error) {
    uint64_t length = 0;
    archive* dry = new_writer(&length, count_bytes);
    if (dry == nullptr) {
        *error = "cannot make an archive";
        return false;
    }
    for (const Entry& entry : m_entries) {
        archive_entry* made = make_entry(entry);
        archive_write_header(dry, made);
        archive_entry_free(made);
        archive_write_finish_entry(dry);
    }
    archive_write_close(dry);
    archive_write_free(dry);
    m_archive_size = length;
    return true;
}

// Lists the folder open as `folder` (which this call closes), then each of its entries from it.
void TreeSource::walk(int folder, const std::string& inner, const std::string& path,
                      const std::function<void(const std::string&)>& note) {
    DIR* listing = fdopendir(folder);
    if (listing == nullptr) {
        note("skipped " + path + ": " + strerror(errno));
        close(folder);
        return;
    }
    std::vector<std::string> names;
    while (dirent* found = readdir(listing)) {
        if (strcmp(found->d_name, ".") != 0 && strcmp(found->d_name, "..") != 0) names.push_back(found->d_name);
    }
    // Sorted, so that every link gets the same archive.
    std::sort(names.begin(), names.end());
    int at = dirfd(listing);
    for (const std::string& name : names) {
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
            if (faccessat(at, name.c_str(), R_OK, AT_EACCESS | AT_SYMLINK_NOFOLLOW) != 0) {
                note("skipped " + entry.path + ": " + strerror(errno));
                continue;
            }
        } else if (S_ISDIR(info.st_mode)) {
            // What is read is what was opened: a link put in its place since fstatat is not followed.
            fd = openat(at, name.c_str(),
                        O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (S_ISDIR(info.st_mode) ? O_DIRECTORY : 0));
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
            char target[PATH_MAX];
            ssize_t length = readlinkat(at, name.c_str(), target, sizeof target - 1);
            if (length < 0) {
                note("skipped " + entry.path + ": " + strerror(errno));
                continue;
            }
            entry.target.assign(target, static_cast<size_t>(length));
            std::vector<std::string> dir = components(entry.inner);
            dir.pop_back();
            if (!stays_inside(dir, entry.target, m_floor)) {
                note("skipped " + entry.path + ": a link that leads out of the folder (" + entry.target + ")");
                continue;
            }
        } else if (!S_ISDIR(info.st_mode)) {
            note("skipped " + entry.path + ": " +
                 (S_ISFIFO(info.st_mode)   ? "a fifo"
                  : S_ISSOCK(info.st_mode) ? "a socket"
                                           : "a device node"));
            continue;
        }
        m_entries.push_back(entry);
        if (S_ISDIR(info.st_mode)) walk(fd, entry.inner, entry.path, note);
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
    size_t given = 0;
    while (given < size) {
        if (m_taken == m_buffer.size()) {
            m_buffer.clear();
            m_taken = 0;
            if (m_closed) break;
            if (!produce()) return -1;
            continue;
        }
        size_t n = std::min(size - given, m_buffer.size() - m_taken);
        memcpy(out + given, m_buffer.data() + m_taken, n);
        m_taken += n;
        given += n;
    }
    return static_cast<ssize_t>(given);
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
        if (archive_write_data(m_archive, piece, static_cast<size_t>(n)) != n) return fail(error_of(m_archive));
        m_left -= static_cast<uint64_t>(n);
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
        if (static_cast<uint64_t>(info.st_size) != entry.size)
            return fail(entry.path + " changed size while it was sent");
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

TreeSink::~TreeSink() {
    if (m_extractor.joinable()) discard();
    if (m_hidden_fd >= 0) close(m_hidden_fd);
}

bool TreeSink::open(const std::string& final_path, std::string* error, bool set, bool force) {
    m_set = set;
    m_force = force;
    struct stat info {};
    if (!set && lstat(final_path.c_str(), &info) == 0) {
        *error = final_path + " exists; a folder is received only under a name that is free";
        return false;
    }
    std::string trimmed = final_path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.find_last_of('/');
    std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    std::string base = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
    // libarchive extracts through no symbolic link, one on the way to the folder included (a /home
    // that links elsewhere, say): the hidden folder gets a path without any.
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) {
        *error = "cannot use the folder " + parent + ": " + strerror(errno);
        return false;
    }
    std::string folder = std::string(resolved) + (resolved[1] == '\0' ? "" : "/");
    std::string hidden = folder + "." + base + ".tqr-tree-XXXXXX";
    if (mkdtemp(&hidden[0]) == nullptr) {
        *error = "cannot create a folder in " + parent + ": " + strerror(errno);
        return false;
    }
    m_final = folder + base;
    m_hidden = hidden;
    m_hidden_fd = ::open(hidden.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (m_hidden_fd < 0) {
        *error = "cannot open the folder " + hidden + ": " + strerror(errno);
        rmdir(hidden.c_str());
        m_hidden.clear();
        return false;
    }
    m_umask = umask(0);
    umask(m_umask);
    DiskSpace space;
    m_room = UINT64_MAX;
    if (disk_space(m_hidden, &space)) m_room = space_fits(0, space) ? space.free - space_margin(space.size) : 0;
    m_extractor = std::thread([this] { extract(); });
    return true;
}

bool TreeSink::write(const char* data, size_t size, std::string* error) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.size() < kQueueBytes || m_finished; });
    if (m_finished && !m_ok) {
        *error = "cannot extract the folder: " + m_error;
        return false;
    }
    // Bytes after the archive's end (its padding) have nowhere to go and need none.
    if (!m_finished) m_queue.append(data, size);
    m_changed.notify_all();
    return true;
}

ssize_t TreeSink::pull(const void** data) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_pulled.clear();
    m_changed.wait(lock, [this] { return !m_queue.empty() || m_ended; });
    if (m_aborted) return -1;
    m_pulled.swap(m_queue);
    m_changed.notify_all();
    *data = m_pulled.data();
    return static_cast<ssize_t>(m_pulled.size());
}

void TreeSink::extract() {
    archive* in = archive_read_new();
    archive_read_support_format_tar(in);
    archive* out = archive_write_disk_new();
    // Our own checks come first (admit); this keeps libarchive from honouring a "..". The archive's
    // links are made only once everything else is in (make_links), so no file or folder can be written
    // through one, and libarchive need not look at every name on each path (a look-up and an open per
    // name: most of the time of a folder of small files).
    archive_write_disk_set_options(out, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT);
    bool ok = archive_read_open(in, this, nullptr, pull_bytes, nullptr) == ARCHIVE_OK;
    std::string error = ok ? "" : error_of(in);
    std::vector<std::string> refused;
    while (ok) {
        archive_entry* entry = nullptr;
        int next = archive_read_next_header(in, &entry);
        if (next == ARCHIVE_EOF) break;
        if (next < ARCHIVE_WARN) {
            ok = false;
            error = error_of(in);
            break;
        }
        std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        std::string why;
        if (!admit(entry, &why)) {
            if (m_full) {
                ok = false;
                error = "its entries claim more than the free space";
                break;
            }
            if (!why.empty()) refused.push_back(name + ": " + why);
            continue;  // the next header skips its data
        }
        if (archive_entry_filetype(entry) == AE_IFLNK) {
            m_links.push_back({name, archive_entry_pathname(entry), archive_entry_symlink(entry),
                               {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}});
            continue;
        }
        if (archive_write_header(out, entry) < ARCHIVE_WARN) {
            refused.push_back(name + ": " + error_of(out));
            continue;
        }
        const void* block;
        size_t size;
        la_int64_t offset;
        int read;
        while ((read = archive_read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
            if (archive_write_data_block(out, block, size, offset) < ARCHIVE_WARN) {
                refused.push_back(name + ": " + error_of(out));
                break;
            }
        }
        if (read < ARCHIVE_WARN) {
            ok = false;
            error = error_of(in);
        }
        archive_write_finish_entry(out);
    }
    // Before the folders get their modes (which may deny writing) and times (which a removal changes).
    if (ok) make_links(&refused);
    if (ok) refuse_leaving_links(&refused);
    // Closing sets the folders' modes and times, now that nothing more goes into them.
    if (archive_write_close(out) != ARCHIVE_OK && ok) {
        ok = false;
        error = error_of(out);
    }
    archive_write_free(out);
    archive_read_free(in);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_refused = refused;
    m_ok = ok && !m_aborted;
    m_error = error;
    m_finished = true;
    m_changed.notify_all();
}

// Whether `entry` may be extracted, and where: below the hidden folder, in place of the top folder.
bool TreeSink::admit(archive_entry* entry, std::string* why) {
    auto refuse = [why](const std::string& reason) {
        *why = reason;
        return false;
    };
    const char* name = archive_entry_pathname(entry);
    std::string path = name ? name : "";
    if (path.empty()) return refuse("an entry without a name");
    if (path[0] == '/') return refuse("an absolute path");
    std::vector<std::string> parts = components(path);
    if (parts.empty()) return refuse("an entry without a name");
    if (std::find(parts.begin(), parts.end(), "..") != parts.end()) return refuse("a .. in its path");
    if (m_top.empty()) m_top = parts[0];
    if (parts[0] != m_top) return refuse("outside the folder " + m_top);
    if (archive_entry_hardlink(entry) != nullptr) return refuse("a hard link");
    mode_t type = archive_entry_filetype(entry);
    if (parts.size() == 1 && type != AE_IFDIR) return refuse("the top of the folder is not a folder");
    // A set's entries go apart: a link among them, or one that leaves its own folder, could lead to
    // whatever stands beside them.
    if (m_set && parts.size() == 2 && type == AE_IFLNK) return refuse("a link among the entries of a set");
    if (type == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        std::vector<std::string> dir(parts.begin() + 1, parts.end() - 1);
        if (target == nullptr || !stays_inside(dir, target, m_set ? 1 : 0)) return refuse("a link that leads out of the folder");
    } else if (type != AE_IFREG && type != AE_IFDIR) {
        return refuse(type == AE_IFIFO ? "a fifo" : type == AE_IFSOCK ? "a socket" : "a device node");
    }
    if (type == AE_IFREG) {
        // The size the entry claims, not the bytes it carries: a sparse entry of a terabyte is a few
        // bytes of archive.
        m_claimed += static_cast<uint64_t>(std::max<la_int64_t>(archive_entry_size(entry), 0));
        if (m_claimed > m_room) {
            m_full = true;
            return refuse("");
        }
    }
    if (parts.size() == 1) {
        // The hidden folder itself, which exists already: libarchive leaves it as it is, so its mode
        // and time are set once everything is in it.
        m_top_mode = archive_entry_perm(entry) & 0777 & ~m_umask;
        m_top_time = {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
        m_top_seen = true;
        return refuse("");
    }
    std::string placed = m_hidden;
    for (size_t i = 1; i < parts.size(); ++i) placed += "/" + parts[i];
    archive_entry_set_pathname(entry, placed.c_str());
    // Nothing set-user-ID, set-group-ID or sticky from a stranger, and nothing this user's umask denies.
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777 & ~m_umask);
    return true;
}

// Makes the archive's links, through no link on the way (one made before may stand on another's path)
// and in place of nothing that is there.
void TreeSink::make_links(std::vector<std::string>* refused) {
    if (m_links.empty()) return;
    archive* links = archive_write_disk_new();
    archive_write_disk_set_options(links, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                              ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_NO_OVERWRITE);
    for (const Link& link : m_links) {
        archive_entry* entry = archive_entry_new();
        archive_entry_copy_pathname(entry, link.place.c_str());
        archive_entry_set_filetype(entry, AE_IFLNK);
        archive_entry_set_perm(entry, 0777);
        archive_entry_copy_symlink(entry, link.target.c_str());
        archive_entry_set_mtime(entry, link.mtime.tv_sec, link.mtime.tv_nsec);
        if (archive_write_header(links, entry) < ARCHIVE_WARN) refused->push_back(link.name + ": " + error_of(links));
        archive_write_finish_entry(links);
        archive_entry_free(entry);
    }
    archive_write_close(links);
    archive_write_free(links);
}

// Removes, and lists, each extracted link whose target, followed on disk through the links beside it,
// leads out of the hidden folder. One pass suffices: a link whose way passes through a link that leads
// out leads out itself, so removing the one changes no verdict on the others.
void TreeSink::refuse_leaving_links(std::vector<std::string>* refused) {
    std::vector<std::string> leaving;
    std::vector<bool> judged(m_links.size());
    for (size_t i = 0; i < m_links.size(); ++i) {
        std::string inner = m_links[i].place.substr(m_hidden.size() + 1);
        if (std::find(leaving.begin(), leaving.end(), inner) != leaving.end()) continue;
        if (!resolves_beneath(m_hidden_fd, components(inner), m_set ? 1 : 0)) {
            leaving.push_back(inner);
            refused->push_back(m_links[i].name + ": a link that leads out of the folder through the links on its way");
        }
    }
    for (const std::string& inner : leaving) unlinkat(m_hidden_fd, inner.c_str(), 0);
}

uint64_t TreeSink::claimed_beyond_room() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_finished && m_full ? m_claimed : 0;
}

void TreeSink::stop_extractor() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }
    if (m_extractor.joinable()) m_extractor.join();
}

bool TreeSink::commit(std::string* error) {
    stop_extractor();
    if (!m_ok) {
        *error = "cannot extract the folder: " + m_error;
        return false;
    }
    // Flushed before its mode may deny reading it, then renamed, then the rename flushed: a power loss
    // finds the folder whole under its name or not there.
    if (!flush_tree(m_hidden, m_hidden_fd, error)) return false;
    if (m_set) return place_apart(error);
    if (m_top_seen) {
        timespec times[2] = {{0, UTIME_OMIT}, m_top_time};
        chmod(m_hidden.c_str(), m_top_mode);
        utimensat(AT_FDCWD, m_hidden.c_str(), times, 0);
        fsync(m_hidden_fd);
    }
    close(m_hidden_fd);
    m_hidden_fd = -1;
    if (!rename_without_replacing(m_hidden, m_final)) {
        *error = "cannot rename the folder to " + m_final + ": " + strerror(errno);
        return false;
    }
    m_hidden.clear();
    std::string parent = m_final.substr(0, m_final.find_last_of('/'));
    if (sync_folder(parent.empty() ? "/" : parent)) return true;
    *error = m_final + " is in place, but its folder could not be flushed to disk: " + strerror(errno);
    return false;
}

// A set's entries, each renamed from the hidden folder to its place beside the others; what could not
// go stays listed as refused, and the hidden folder goes with whatever is left in it.
bool TreeSink::place_apart(std::string* error) {
    std::vector<std::string> names;
    std::error_code failed;
    for (const auto& found : std::filesystem::directory_iterator(m_hidden, failed))
        names.push_back(found.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string folder = m_final.substr(0, m_final.find_last_of('/'));
    if (folder.empty()) folder = "/";
    for (const std::string& name : names) {
        std::string from = m_hidden + "/" + name, to = folder + (folder == "/" ? "" : "/") + name;
        // As for a file sent alone, a hidden or device name is not placed where nobody named it.
        std::string risk = risky_name(name);
        if (!risk.empty()) {
            m_refused.push_back(name + ": the name " + risk + " (sent alone, it is taken when --output names it)");
            continue;
        }
        struct stat here {}, there {};
        bool replaceable = m_force && lstat(from.c_str(), &here) == 0 && S_ISREG(here.st_mode) &&
                           lstat(to.c_str(), &there) == 0 && S_ISREG(there.st_mode);
        if (rename_without_replacing(from, to) || (errno == EEXIST && replaceable && rename(from.c_str(), to.c_str()) == 0)) {
            m_placed.push_back(name);
        } else {
            m_refused.push_back(name + (errno == EEXIST ? ": exists, and is replaced only when both are files and with --force"
                                                        : ": " + std::string(strerror(errno))));
        }
    }
    close(m_hidden_fd);
    m_hidden_fd = -1;
    std::filesystem::remove_all(m_hidden, failed);
    m_hidden.clear();
    if (sync_folder(folder)) return true;
    *error = "the files are in place, but their folder could not be flushed to disk: " + std::string(strerror(errno));
    return false;
}

void TreeSink::discard() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_aborted = true;
    }
    stop_extractor();
    if (m_hidden_fd >= 0) close(m_hidden_fd);
    m_hidden_fd = -1;
    if (m_hidden.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_hidden, ignored);
    m_hidden.clear();
}

}  // namespace tqr
