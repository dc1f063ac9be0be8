#include "folder/tree_disk.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace tqr {
namespace disk {

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
bool stays_inside(std::vector<std::string> dir, const std::string& target, size_t floor) {
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
bool resolves_beneath(int root, const std::vector<std::string>& at, size_t floor) {
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
        // A name that is not there, or under a file, leads nowhere; one that cannot be looked at (a
        // place deeper than a path may be long) may be a link, and is judged to lead out.
        if (fstatat(root, inner.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT || errno == ENOTDIR) continue;
            return false;
        }
        if (!S_ISLNK(info.st_mode)) continue;
        char target[PATH_MAX];
        ssize_t length = readlinkat(root, inner.c_str(), target, sizeof target - 1);
        if (length <= 0 || target[0] == '/' || ++followed > kMaxFollowed) return false;
        place.pop_back();
        std::vector<std::string> more = components(std::string(target, static_cast<size_t>(length)));
        todo.insert(todo.end(), more.rbegin(), more.rend());
    }
    return true;
}

std::string others_may_rename(const std::string& resolved) {
    uid_t me = geteuid();
    std::string at = resolved.empty() ? "/" : resolved;
    for (int depth = 0; depth < 4096; ++depth) {
        struct stat info {};
        if (lstat(at.c_str(), &info) != 0) return at + " cannot be checked: " + strerror(errno);
        // A folder of another user that nobody else may write in is that user's own place (a home
        // that root receives into); one that others may write in is a shared folder of theirs.
        if (info.st_uid != me && info.st_uid != 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            return at + " is a shared folder of another user (uid " + std::to_string(info.st_uid) + ")";
        if ((info.st_mode & S_IWOTH) != 0 && (info.st_mode & S_ISVTX) == 0)
            return "everyone may write in " + at + ", which has no sticky bit";
        bool group_renames = (info.st_mode & S_IWGRP) != 0 && (info.st_mode & S_ISVTX) == 0;
        // With an access list, the group bits are its mask, and the users and groups it names may write
        // whatever the folder's own group.
        if (group_renames && lgetxattr(at.c_str(), "system.posix_acl_access", nullptr, 0) > 0)
            return "the users or groups that the access list of " + at +
                   " names may write in it, which has no sticky bit";
        // The receiver's own folder or the system's, shared with a group (root:mail 2775, a team's
        // folder): each member of it may rename what is made there.
        if (group_renames && info.st_gid != getegid())
            return "the members of group " + std::to_string(info.st_gid) + " may write in " + at +
                   ", which has no sticky bit";
        if (at == "/") return "";
        size_t slash = at.find_last_of('/');
        at = slash == 0 || slash == std::string::npos ? "/" : at.substr(0, slash);
    }
    return "";
}

namespace {

constexpr long kProcMagic = 0x9fa0;  // procfs: its links lead to objects, not to the names they read as
constexpr int kMaxLinks = 40;        // as the kernel follows, at most
constexpr int kMaxNames = 4096;      // names walked in all, so that a walk costs a bounded number of calls

// A descriptor that closes with its scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset(int f = -1) {
        if (fd >= 0) close(fd);
        fd = f;
    }
    int release() {
        int f = fd;
        fd = -1;
        return f;
    }
};

// Where a walk ended: the folder that holds the last name and that name, or (a path that ends in a
// folder, or in a link of procfs, which leads to an object rather than to a name) the object itself.
struct WalkEnd {
    Fd parent;
    std::string name;
    Fd object;
};

// Walks `path` from descriptors, as the kernel resolves it: a name at a time, each symbolic link's
// target walked in its place, ".." from where the walk stands. Each link is judged on the descriptor
// it was opened as before it is followed, so that what is judged is what is followed, and no name is
// looked up twice. Returns "" and fills `end`, or why the path may not be followed (`*fault`
// TRUST_LINK), or (TRUST_ERRNO, errno in `*failed`) where the walk could not go on: with ENOENT or
// ENOTDIR, nothing is reached through it.
std::string walk(const std::string& path, const std::string& tool, WalkEnd* end, TrustFault* fault, int* failed) {
    struct Name {
        std::string name;
        bool given;  // a name of `path` itself, not of a link's target
    };
    std::vector<Name> rest;  // the names still to walk, the next one last
    auto push_names = [&rest](const std::string& names, bool given) {
        std::vector<std::string> found = components(names);
        for (auto name = found.rbegin(); name != found.rend(); ++name) rest.push_back({*name, given});
    };
    auto stop = [&](TrustFault kind, int error) {
        *fault = kind;
        *failed = error;
        return kind == TRUST_ERRNO ? std::string(strerror(error)) : std::string();
    };
    *fault = TRUST_ERRNO;
    *failed = 0;
    if (path.empty()) return stop(TRUST_ERRNO, ENOENT);
    Fd dir(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0) return stop(TRUST_ERRNO, errno);
    // For the lines only: where the walk stands, and what of `path` was walked, as it was given.
    std::string resolved = "/";
    if (path[0] != '/') {
        char here[PATH_MAX];
        resolved = getcwd(here, sizeof here) != nullptr ? here : ".";
    }
    std::string shown = path[0] == '/' ? "/" : "";
    push_names(path, true);
    int links = 0;
    for (int names = 0; !rest.empty(); ++names) {
        if (names == kMaxNames) return stop(TRUST_ERRNO, links > 0 ? ELOOP : ENAMETOOLONG);
        const Name next = rest.back();
        rest.pop_back();
        if (next.given) shown += (shown.empty() || shown.back() == '/' ? "" : "/") + next.name;
        const bool last = rest.empty();
        if (next.name == "..") {
            int up = openat(dir.fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (up < 0) return stop(TRUST_ERRNO, errno);
            dir.reset(up);
            size_t slash = resolved.find_last_of('/');
            resolved = slash == 0 || slash == std::string::npos ? "/" : resolved.substr(0, slash);
            continue;
        }
        const std::string at = resolved + (resolved.back() == '/' ? "" : "/") + next.name;
        Fd found(openat(dir.fd, next.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info {};
        if (found.fd < 0 || fstat(found.fd, &info) != 0) {
            const int error = errno;
            // What is not there is made, or looked for, in the folder the walk reached.
            if (last && error == ENOENT) {
                end->parent.reset(dir.release());
                end->name = next.name;
            }
            return stop(TRUST_ERRNO, error);
        }
        if (!S_ISLNK(info.st_mode)) {
            if (last) {
                end->parent.reset(dir.release());
                end->name = next.name;
                return "";
            }
            dir.reset(found.release());
            resolved = at;
            continue;
        }
        if (info.st_uid != geteuid() && info.st_uid != 0) {
            const std::string uid = std::to_string(info.st_uid);
            *fault = TRUST_LINK;
            return (next.given ? shown + " is a symbolic link of another user (uid " + uid + ")"
                               : shown + " leads through " + at + ", a symbolic link of another user (uid " + uid + ")") +
                   "; " + tool + " follows only its own user's or the system's";
        }
        if (++links > kMaxLinks) return stop(TRUST_ERRNO, ELOOP);
        struct statfs where {};
        if (fstatfs(found.fd, &where) == 0 && where.f_type == kProcMagic) {
            // /proc/self/fd/N, /proc/PID/root: the kernel goes to the object, wherever its name reads
            // (another mount namespace's root reads as "/"), and the walk goes on from there.
            Fd object(openat(dir.fd, next.name.c_str(), O_PATH | O_CLOEXEC));
            if (object.fd < 0) return stop(TRUST_ERRNO, errno);
            struct stat reached {};
            if (fstat(object.fd, &reached) != 0) return stop(TRUST_ERRNO, errno);
            if (last || !S_ISDIR(reached.st_mode)) {
                if (!last) return stop(TRUST_ERRNO, ENOTDIR);
                end->object.reset(object.release());
                return "";
            }
            dir.reset(object.release());
            resolved = at;
            continue;
        }
        char target[PATH_MAX];
        ssize_t n = readlinkat(found.fd, "", target, sizeof target - 1);
        if (n <= 0) return stop(TRUST_ERRNO, n == 0 ? ENOENT : errno);
        target[n] = '\0';
        if (target[0] == '/') {
            int root = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (root < 0) return stop(TRUST_ERRNO, errno);
            dir.reset(root);
            resolved = "/";
        }
        push_names(target, false);
        // A link in the last place whose target is only "/" ends in that folder.
        if (rest.empty()) {
            end->object.reset(dir.release());
            return "";
        }
    }
    // The path ends in a folder it reached ("/", "..", "a/").
    end->object.reset(dir.release());
    return "";
}

// Why a file of this kind and owner is not taken ("" when it is).
std::string untrusted(const struct stat& info, unsigned kinds, TrustFault* fault) {
    bool kind = S_ISREG(info.st_mode) || ((kinds & TAKE_DEVICE) && S_ISCHR(info.st_mode)) ||
                ((kinds & TAKE_FIFO) && S_ISFIFO(info.st_mode));
    *fault = kind ? TRUST_OWNER : TRUST_KIND;
    if (!kind) return kinds == TAKE_FIFO ? "is not a regular file or a pipe" : "is not a regular file";
    if (info.st_uid != geteuid() && info.st_uid != 0)
        return "belongs to another user (uid " + std::to_string(info.st_uid) + ")";
    return "";
}

}  // namespace

std::string foreign_link(const std::string& path, const std::string& tool) {
    WalkEnd end;
    TrustFault fault;
    int failed;
    std::string why = walk(path, tool, &end, &fault, &failed);
    return fault == TRUST_LINK ? why : "";
}

// Opened from the folder the walk holds, by a name that is not a link, or as the object a link of
// procfs leads to: a link put in the last place after the walk makes the open fail (O_NOFOLLOW), and
// nothing is created through it.
int open_trusted(const std::string& path, int flags, unsigned kinds, const std::string& tool, TrustFault* fault,
                 std::string* why) {
    // A name that ends in a slash or in "." names a folder, whatever is there.
    const size_t size = path.size();
    if (size > 0 && (path.back() == '/' || path == "." || (size >= 2 && path.compare(size - 2, 2, "/.") == 0))) {
        struct stat folder {};
        folder.st_mode = S_IFDIR;
        *why = untrusted(folder, kinds, fault);
        return -1;
    }
    WalkEnd end;
    int failed = 0;
    *why = walk(path, tool, &end, fault, &failed);
    if (*fault == TRUST_LINK) return -1;
    const int open_flags = flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    struct stat named {}, held {};
    int fd = -1;
    if (end.object.fd >= 0) {
        if (fstat(end.object.fd, &named) == 0) *why = untrusted(named, kinds, fault);
        if (!why->empty()) return -1;
        fd = ::open(("/proc/self/fd/" + std::to_string(end.object.fd)).c_str(), open_flags & ~O_CREAT);
    } else if (end.parent.fd >= 0 && (failed == 0 || (failed == ENOENT && (flags & O_CREAT)))) {
        bool absent = failed == ENOENT;
        if (!absent) {
            if (fstatat(end.parent.fd, end.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0) {
                *why = untrusted(named, kinds, fault);
            } else if (errno == ENOENT && (flags & O_CREAT)) {
                absent = true;
            } else {
                // Gone since the walk: what is there now was never looked at.
                *fault = TRUST_ERRNO;
                *why = strerror(errno);
            }
            if (!why->empty()) return -1;
        }
        // A name that was not there is made, not opened: one put there meanwhile fails the open.
        fd = openat(end.parent.fd, end.name.c_str(), open_flags | O_NOFOLLOW | (absent ? O_EXCL : 0), 0600);
    } else {
        *fault = TRUST_ERRNO;
        *why = strerror(failed != 0 ? failed : ENOENT);
        return -1;
    }
    if (fd < 0 || fstat(fd, &held) != 0) {
        // A fifo that nobody reads does not open for writing without blocking.
        const int error = errno;
        const bool fifo = error == ENXIO && S_ISFIFO(named.st_mode);
        *fault = fifo ? TRUST_KIND : error == ELOOP || error == EEXIST ? TRUST_LINK : TRUST_ERRNO;
        *why = fifo ? "is a fifo that nobody reads"
               : error == ELOOP  ? path + " was replaced by a symbolic link while it was opened"
               : error == EEXIST ? path + " was made by someone else while it was opened"
                                 : strerror(error);
        if (fd >= 0) close(fd);
        return -1;
    }
    *why = untrusted(held, kinds, fault);
    // A second name of a file, in a folder that others may write in, may be theirs: where the system
    // lets anyone link to any file (fs.protected_hardlinks=0), another user could put a file of the
    // system's (/etc/shadow) under the name a log or key is to have. The count is taken before the
    // open as well as after it, so that a link removed in between does not hide.
    struct stat folder {};
    const bool named_twice = std::max(named.st_nlink, held.st_nlink) > 1;
    if (why->empty() && !S_ISDIR(held.st_mode) && named_twice && end.parent.fd >= 0 && fstat(end.parent.fd, &folder) == 0 &&
        ((folder.st_uid != geteuid() && folder.st_uid != 0) || (folder.st_mode & (S_IWGRP | S_IWOTH)) != 0)) {
        *fault = TRUST_LINK;
        *why = path + " has a second name (a hard link), in a folder that other users may write in";
    }
    // What was looked at before the open is what was opened.
    if (why->empty() && named.st_ino != 0 && (held.st_dev != named.st_dev || held.st_ino != named.st_ino)) {
        *fault = TRUST_LINK;
        *why = path + " was replaced while it was opened";
    }
    if (why->empty()) return fd;
    close(fd);
    return -1;
}

bool same_version(int fd, const struct stat& opened) {
    struct stat now {};
    auto same = [](const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    // The change time too: an owner may write a file over and put its modification time back, which
    // no one can do to the change time.
    return fstat(fd, &now) == 0 && now.st_size == opened.st_size && same(now.st_mtim, opened.st_mtim) &&
           same(now.st_ctim, opened.st_ctim);
}

namespace {

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

}  // namespace

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

}  // namespace disk
}  // namespace tqr
