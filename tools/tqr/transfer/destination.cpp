#include "transfer/destination.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

#include "cli/progress.h"
#include "folder/tree.h"
#include "folder/tree_disk.h"

namespace tqr {

namespace {

bool write_all(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Whether `path` is this process's standard output itself (/dev/stdout, /dev/fd/1, or the file or
// terminal it goes to): written as "-" is, and never replaced by a file of the same name.
bool names_stdout(const std::string& path) {
    struct stat named {}, out {};
    return path == "-" || (stat(path.c_str(), &named) == 0 && fstat(STDOUT_FILENO, &out) == 0 &&
                           named.st_dev == out.st_dev && named.st_ino == out.st_ino);
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Whose fifo or device --output may name: this user's or the system's, never one that another user
// planted where this one was going to write. "" when it may be written.
std::string foreign_owner(const struct stat& info) {
    if (info.st_uid == geteuid() || info.st_uid == 0) return "";
    return "belongs to another user (uid " + std::to_string(info.st_uid) + "); tqr receive writes only into a "
           "fifo or device of its own user or of the system";
}

enum WatchedWrite { WATCHED_WRITTEN, WATCHED_FAILED, WATCHED_STALLED, WATCHED_STOPPED };

// Writes all of `data` into a pipe, fifo or terminal opened without blocking, or a `socket` with sends
// that do not wait, waiting for its reader to take more for at most the stall limit each time, and no
// longer once `stop` is readable; with `patient`, for as long as the reader likes.
WatchedWrite write_watched(int fd, bool socket, int stop, const unsigned char* data, size_t size, bool patient) {
    while (size > 0) {
        ssize_t n = socket ? send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || errno != EAGAIN) return WATCHED_FAILED;
        pollfd ready[2] = {{fd, POLLOUT, 0}, {stop, POLLIN, 0}};
        int count = poll(ready, 2, patient ? -1 : stall_seconds() * 1000);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return WATCHED_FAILED;
        if (count == 0) return WATCHED_STALLED;
        if (ready[1].revents != 0) return WATCHED_STOPPED;
    }
    return WATCHED_WRITTEN;
}

std::string folder_of(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string space_shortfall(uint64_t need, const DiskSpace& space) {
    if (space_fits(need, space)) return "";
    uint64_t margin = space_margin(space.size);
    std::string line = "needs " + Progress::human_bytes(static_cast<double>(need)) + ", " +
                       Progress::human_bytes(static_cast<double>(space.free)) + " free";
    if (need <= space.free) line += " (of which tqr receive leaves " + Progress::human_bytes(static_cast<double>(margin)) + ")";
    return line;
}

Destination::Destination(const std::string& output, bool sealed, bool force, AskFunction ask, NoteFunction note)
    : m_output(names_stdout(output) ? "-" : output), m_sealed(sealed), m_force(force), m_ask(std::move(ask)), m_note(std::move(note)) {}

Destination::~Destination() {
    if (!m_committed) abandon(false);
    if (m_spool != nullptr) fclose(m_spool);
    for (int fd : m_wake)
        if (fd >= 0) close(fd);
    if (m_wake[0] >= 0 && m_fd >= 0) close(m_fd);  // opened here (a special output); not closed yet
    if (m_folder_fd >= 0) close(m_folder_fd);
}

// The folder `path` held for looking names up in, or -1 with `why`. Followed a name at a time, through
// no link of another user, each name judged on what was opened, so that a folder swapped for a link
// while it is walked cannot lead elsewhere.
static int open_folder(const std::string& path, std::string* why) {
    int fd = ::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    std::vector<std::string> rest;  // the names still to walk, the next one last
    auto push_names = [&rest](const std::string& names) {
        std::vector<std::string> found;
        for (size_t at = 0; at <= names.size();) {
            size_t end = std::min(names.find('/', at), names.size());
            if (end > at) found.push_back(names.substr(at, end - at));
            at = end + 1;
        }
        rest.insert(rest.end(), found.rbegin(), found.rend());
    };
    push_names(path);
    for (int links = 0; fd >= 0 && !rest.empty();) {
        const std::string name = rest.back();
        rest.pop_back();
        int next = openat(fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat info {};
        if (next < 0 || fstat(next, &info) != 0) {
            *why = "cannot open the folder " + path + ": " + strerror(errno);
            if (next >= 0) close(next);
            break;
        }
        if (S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = ++links > 40 ? -1 : readlinkat(next, "", target, sizeof target - 1);
            close(next);
            if (info.st_uid != geteuid() && info.st_uid != 0) {
                *why = path + " leads through a symbolic link of another user (uid " + std::to_string(info.st_uid) +
                       "); tqr receive follows only its own user's or the system's";
                break;
            }
            if (n <= 0) {
                *why = "cannot follow the links of " + path;
                break;
            }
            target[n] = '\0';
            if (target[0] == '/') {
                close(fd);
                fd = ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
            }
            push_names(target);
            continue;
        }
        close(fd);
        fd = next;
        if (!S_ISDIR(info.st_mode)) {
            *why = "cannot write in " + path + ": it is not a folder";
            break;
        }
    }
    if (fd < 0 && why->empty()) *why = "cannot open the folder " + path + ": " + strerror(errno);
    if (why->empty()) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool Destination::check() {
    std::lock_guard<std::mutex> guard(m_mutex);
    // Standard output and a text message put no name in the folder the receiver is in, so it need not
    // be writable; a file or folder that would go there is refused when its header says so.
    if (to_stdout()) return true;
    if (m_output.empty()) {
        if (access(".", W_OK) != 0) m_unwritable = std::string("cannot write in this folder: ") + strerror(errno);
        return hold_folder(".", "");
    }
    std::string link = disk::foreign_link(m_output, "tqr receive");
    if (!link.empty()) return fail(link);
    if (is_directory(m_output)) {
        if (access(m_output.c_str(), W_OK) != 0) return fail_errno("cannot write in " + m_output);
        return hold_folder(m_output, m_output + "/");
    }
    std::string folder = folder_of(m_output);
    if (!is_directory(folder)) return fail("cannot write " + m_output + ": there is no folder " + folder);
    // A fifo or device is written where it is: nothing is made beside it, so its folder (/dev) need
    // not take new names.
    struct stat named {};
    bool special = lstat(m_output.c_str(), &named) == 0 && (S_ISCHR(named.st_mode) || S_ISFIFO(named.st_mode));
    if (!special && access(folder.c_str(), W_OK) != 0) return fail_errno("cannot write in " + folder);
    m_named = true;
    size_t slash = m_output.find_last_of('/');
    if (!hold_folder(folder, slash == std::string::npos ? "" : m_output.substr(0, slash + 1))) return false;
    return may_take(place(m_output.substr(slash == std::string::npos ? 0 : slash + 1)), true);
}

// The folder that receives is held from here on: every later name is looked up in the folder that was
// checked, whatever anyone renames or links on its path meanwhile. Its names are given to the calls
// as /proc/self/fd/N/NAME; without /proc they go by the path as before.
bool Destination::hold_folder(const std::string& folder, const std::string& shown_prefix) {
    m_shown_folder = folder;
    m_shown_prefix = shown_prefix;
    std::string why;
    m_folder_fd = open_folder(folder, &why);
    if (m_folder_fd < 0) return fail(why);
    std::string held = "/proc/self/fd/" + std::to_string(m_folder_fd);
    struct stat by_fd {}, by_path {};
    if (stat(held.c_str(), &by_path) == 0 && fstat(m_folder_fd, &by_fd) == 0 && by_fd.st_ino == by_path.st_ino &&
        by_fd.st_dev == by_path.st_dev)
        m_held = held;
    return true;
}

// The path the calls use for `name` in the folder that receives.
std::string Destination::place(const std::string& name) const {
    if (name.empty()) return m_held.empty() ? m_shown_folder : m_held;
    return (m_held.empty() ? m_shown_prefix : m_held + "/") + name;
}

// A line about a held name, as the person named it.
std::string Destination::shown(const std::string& line) const {
    if (m_held.empty()) return line;
    std::string out;
    for (size_t at = 0;;) {
        size_t found = line.find(m_held, at);
        // /proc/self/fd/5 is not the start of /proc/self/fd/57.
        while (found != std::string::npos && found + m_held.size() < line.size() &&
               isdigit(static_cast<unsigned char>(line[found + m_held.size()])))
            found = line.find(m_held, found + 1);
        if (found == std::string::npos) return out + line.substr(at);
        out += line.substr(at, found - at);
        at = found + m_held.size();
        if (at < line.size() && line[at] == '/') {
            out += m_shown_prefix;
            ++at;
        } else {
            out += m_shown_folder;
        }
    }
}

// The folder the payload goes into: a set's is its final path itself.
std::string Destination::final_folder() const { return m_final_path == place("") ? m_final_path : folder_of(m_final_path); }

// Whether a payload may be made in the folder: it may be written in, and its path still leads to the
// folder that was checked when the receive began.
bool Destination::folder_may_receive() {
    if (!m_unwritable.empty()) return fail(m_unwritable);
    if (m_folder_fd < 0) return true;
    struct stat held {}, named {};
    if (fstat(m_folder_fd, &held) == 0 && stat(m_shown_folder.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino && disk::foreign_link(m_shown_folder, "tqr receive").empty())
        return true;
    return fail(m_shown_folder + " was moved or replaced since tqr receive began; nothing was written");
}

// Whether the payload may go to `path`: it is free, or the person agreed to replace the file there.
// `named`: --output named it, so a device there is written as it is.
bool Destination::may_take(const std::string& path, bool named) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) return true;
    if (S_ISDIR(info.st_mode)) return fail(path + " is a folder; tqr receive does not replace a folder");
    if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) {
        if (named && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))) {
            std::string owner = foreign_owner(info);
            return owner.empty() || fail(path + " " + owner);
        }
        return fail(path + " exists and is not a regular file");
    }
    if (m_force || m_replace) {
        m_replace = true;
        return true;
    }
    if (m_ask) {
        if (m_ask(shown(path) + " exists; replace it?")) {
            m_replace = true;
            return true;
        }
        return fail(path + " exists and stays as it is: not replaced, as answered");
    }
    return fail(path + " exists; tqr receive does not replace it without --force (or name another with --output)");
}

bool Destination::choose_path(const PayloadHeader& header) {
    std::string name = safe_file_name(header.name);
    const bool named = m_named;
    std::string path = named ? place(m_output.substr(m_shown_prefix.size())) : place(name);
    std::string risk = risky_name(name);
    if (!named && !risk.empty())
        return fail("the sender's name \"" + name + "\" " + risk + "; to take it, name the target with --output");
    // Told before the first byte, not after the last, when the file's name is to fail at its rename.
    long most = pathconf(folder_of(path).c_str(), _PC_NAME_MAX);
    if (most <= 0) most = NAME_MAX;
    if (!named && name.size() > static_cast<size_t>(most))
        return fail("the sender's name is " + std::to_string(name.size()) + " bytes long, and a name here holds at most " +
                    std::to_string(most) + "; to take it, name the target with --output");
    m_final_path = path;
    return true;
}

bool Destination::open(const PayloadHeader& header, uint64_t* start) {
    *start = 0;
    if (to_stdout()) {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (header.kind == KIND_TREE || header.kind == KIND_SET) return fail("a folder cannot go to standard output");
        if (m_sealed) {
            m_fd = STDOUT_FILENO;
            watch_stdout();
            return true;
        }
        m_spool = tmpfile();
        if (m_spool == nullptr) return fail_errno("cannot make a temporary file");
        m_fd = fileno(m_spool);
        return true;
    }
    if (header.kind == KIND_SET) {
        // Its entries go beside each other into the folder the receiver is in, or that --output names.
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_stopped) return false;
        if (m_named) return fail("several files arrive into a folder: name one that exists with --output");
        if (!folder_may_receive()) return false;
        std::string folder = place("");
        m_final_path = folder + "/" + kSetName;  // room_for looks at its folder
        tell_leftovers();
        if (!room_for(header.size)) return false;
        m_final_path = folder;
        std::unique_ptr<TreeSink> tree(new TreeSink());
        std::string error;
        if (!tree->open(folder + "/" + kSetName, &error, true, m_force)) return fail(error);
        m_tree = std::move(tree);
        return true;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_stopped || !folder_may_receive() || !choose_path(header)) return false;
    }
    // Asking may take the person a while: the signal thread must be able to end the process meanwhile.
    std::string final_path = m_final_path;
    const bool named = m_named;
    if (header.kind == KIND_TREE) {
        struct stat info {};
        if (lstat(final_path.c_str(), &info) == 0) {
            std::lock_guard<std::mutex> guard(m_mutex);
            return fail(final_path + " exists; a folder is received only under a name that is free");
        }
    } else if (!may_take(final_path, named)) {
        return false;
    }

    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_stopped) return false;
    struct stat info {};
    if (named && lstat(final_path.c_str(), &info) == 0 && (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)))
        return open_special(final_path, info);
    if (header.kind == KIND_TREE) {
        tell_leftovers();
        if (!room_for(header.size)) return false;
        std::unique_ptr<TreeSink> tree(new TreeSink());
        std::string error;
        if (!tree->open(final_path, &error)) return fail(error);
        m_tree = std::move(tree);
        return true;
    }
    std::string error, removed;
    // --force names a fresh start: a part that may not be continued is removed rather than left alone.
    if (!m_part.open(beside(final_path, "", ".tqr-part"), m_force, &error, &removed)) return fail(error);
    if (!removed.empty()) note(removed + "; starting afresh (--force)");
    bool dropped = false;
    int64_t kept = m_part.adopt(header, &dropped);
    if (kept < 0) return fail_errno("cannot write " + m_part.path());
    if (dropped) note("discarded " + m_part.path() + ": it is not the start of the file on offer");
    if (header.size_known && !room_for(header.size - static_cast<uint64_t>(kept))) {
        // Declined: what an earlier transfer kept stays for a try with more room.
        if (kept > 0) {
            m_part.close();
        } else {
            m_part.remove();
        }
        return false;
    }
    *start = static_cast<uint64_t>(kept);
    m_resumed_at = *start;
    return true;
}

// A fifo or device that --output names, under the lock. Opened without blocking, so that a fifo
// nobody reads holds no thread (and no lock the signal thread needs), and judged on what was opened.
bool Destination::open_special(const std::string& path, const struct stat& named) {
    std::string owner = foreign_owner(named);
    if (!owner.empty()) return fail(path + " " + owner);
    int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno == ENXIO && S_ISFIFO(named.st_mode))
        return fail(path + " is a fifo that nobody reads: start its reader first");
    if (fd < 0) return fail_errno("cannot write " + path);
    struct stat held {};
    std::string why;
    if (fstat(fd, &held) != 0) {
        why = std::string("cannot write ") + path + ": " + strerror(errno);
    } else if (held.st_dev != named.st_dev || held.st_ino != named.st_ino) {
        why = path + " was replaced while it was opened";
    } else if (!(owner = foreign_owner(held)).empty()) {
        why = path + " " + owner;
    } else if (pipe2(m_wake, O_CLOEXEC) != 0) {
        why = std::string("cannot make a pipe: ") + strerror(errno);
    }
    if (!why.empty()) {
        close(fd);
        return fail(why);
    }
    m_fd = fd;
    return true;
}

// Standard output on a pipe, a socket or a terminal takes bytes only as fast as its reader does, who
// may stop: it is written through a description of its own that does not block (the shell's keeps its
// flags), or a socket with sends that do not wait, so that the wait ends at an interruption. Where it
// cannot be opened again so, it is written as it is.
void Destination::watch_stdout() {
    struct stat info {};
    if (fstat(STDOUT_FILENO, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISSOCK(info.st_mode)))
        return;
    m_socket = S_ISSOCK(info.st_mode);
    int fd = m_socket ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3)
                      : ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return;
    // A pipe that holds a whole batch takes it in one write, not in pieces as its reader frees room
    // (a request the system may turn down, or grant smaller).
    if (S_ISFIFO(info.st_mode)) fcntl(fd, F_SETPIPE_SZ, static_cast<int>(kBatchBytes));
    if (pipe2(m_wake, O_CLOEXEC) != 0) {
        close(fd);
        return;
    }
    m_fd = fd;
}

bool Destination::write_text(const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_stopped) return fail("interrupted");
        if (m_fd >= 0) return fail("a text arrived where a payload was begun");
        m_fd = STDOUT_FILENO;
        m_text = true;
        watch_stdout();
    }
    return write(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

bool Destination::restart() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_stopped) return fail("interrupted");
    m_resumed_at = 0;
    note("discarded " + m_part.path() + ": the sender's file changed since; starting from 0");
    return m_part.restart() || fail_errno("cannot write " + m_part.path());
}

bool Destination::write(const unsigned char* data, size_t size) {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (m_stopped) return fail("interrupted");
    if ((m_tree || m_part.is_open()) && !watch_space(size)) return false;
    if (m_tree) {
        std::string error;
        if (m_tree->write(reinterpret_cast<const char*>(data), size, &error)) return true;
        uint64_t claimed = m_tree->claimed_beyond_room();
        if (claimed > 0 && !room_for(claimed)) return false;
        return fail(error);
    }
    if (m_part.is_open()) return m_part.append(data, size) || fail_errno("cannot write " + m_part.path());
    // A pipe's, fifo's, socket's or terminal's reader may stop reading: it is waited for without the
    // lock, which interrupt() takes; a description that cannot be watched (another user's pipe) at
    // least leaves the interruption its line, and a second one ends the command.
    // The descriptors stay open until commit() or the destructor, both on this thread.
    const int fd = m_fd, stop = m_wake[0];
    const bool patient = m_committed;  // copy_spool: nobody waits for this reader
    guard.unlock();
    if (stop < 0) {
        bool all = write_all(fd, data, size);
        int saved = errno;
        guard.lock();
        errno = saved;
        if (m_stopped) return fail("interrupted");
        return all || fail_errno("cannot write " + describe());
    }
    WatchedWrite written = write_watched(fd, m_socket, stop, data, size, patient);
    int saved = errno;
    guard.lock();
    errno = saved;
    if (written == WATCHED_WRITTEN) return !m_stopped || fail("interrupted");
    if (written == WATCHED_STALLED)
        return fail(describe() + " took nothing for " + std::to_string(stall_seconds()) + " s (TQR_STALL_TIMEOUT)");
    if (written == WATCHED_STOPPED) return fail("interrupted");
    return fail_errno("cannot write " + describe());
}

bool Destination::commit() {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (m_stopped) return fail("interrupted");
    if (m_tree) {
        // The extraction may go on for a while after the last byte (the archive's links are made and
        // judged then): it is waited for without the lock, which an interruption takes to stop it.
        TreeSink* tree = m_tree.get();
        guard.unlock();
        tree->finish_extraction();
        guard.lock();
        if (m_stopped) return fail("interrupted");
    }
    m_committed = true;
    if (to_stdout() && m_sealed) return true;
    if (to_stdout()) return fflush(m_spool) == 0 || fail_errno("cannot spool the payload");
    if (m_tree) {
        std::string error;
        if (!m_tree->commit(&error)) return fail(error);
        tell_if_moved();
        return true;
    }
    if (!m_part.is_open()) {
        int fd = m_fd;
        m_fd = -1;
        return close(fd) == 0 || fail_errno("cannot write " + describe());
    }
    if (!m_part.finish()) {
        m_committed = false;
        return fail_errno("cannot write " + m_part.path());
    }
    // Only the file this receiver wrote goes under the final name, never one put in its part's place.
    if (!m_part.still_named()) {
        m_part.close();
        return fail(m_part.path() + " was replaced while it was written; nothing was renamed");
    }
    bool moved = m_replace ? rename(m_part.path().c_str(), m_final_path.c_str()) == 0
                           : rename_without_replacing(m_part.path(), m_final_path);
    if (!moved) {
        std::string why = errno == EEXIST ? m_final_path + " appeared meanwhile"
                                          : "cannot rename to " + m_final_path + ": " + strerror(errno);
        m_part.close();
        return fail(why + "; the file is in " + m_part.path());
    }
    m_part.close();
    // The rename itself outlives a power loss only once its folder is on disk.
    if (!sync_folder(folder_of(m_final_path)))
        return fail_errno(m_final_path + " is in place, but its folder could not be flushed to disk");
    tell_if_moved();
    return true;
}

// The payload went into the folder that was checked; when someone moved that folder while it arrived,
// its name no longer says where the payload is, and the person is told.
void Destination::tell_if_moved() {
    struct stat held {}, named {};
    char now[PATH_MAX];
    if (m_held.empty() || fstat(m_folder_fd, &held) != 0 ||
        (stat(m_shown_folder.c_str(), &named) == 0 && held.st_dev == named.st_dev && held.st_ino == named.st_ino) ||
        realpath(m_held.c_str(), now) == nullptr)
        return;
    note(m_shown_folder + " was moved while the payload arrived: it is in " + now);
}

std::string Destination::abandon(bool link_lost) {
    std::lock_guard<std::mutex> guard(m_mutex);
    return abandon_locked(link_lost);
}

std::string Destination::interrupt() {
    std::lock_guard<std::mutex> guard(m_mutex);
    char wake = 0;
    if (m_wake[1] >= 0 && ::write(m_wake[1], &wake, 1) < 0) {
        // Cannot fail but on a full pipe, whose reader is woken already.
    }
    if (m_committed) return "";
    return abandon_locked(true);
}

std::string Destination::abandon_locked(bool link_lost) {
    if (m_stopped) return "";
    m_stopped = true;
    if (m_tree) {
        m_tree->discard();
        return "nothing of the folder was kept";
    }
    if (!m_part.is_open()) return "";
    if (link_lost && m_part.continuable() && m_part.have() > 0) {
        std::string line = "kept " + m_part.path() + " (" + Progress::human_bytes(static_cast<double>(m_part.have())) +
                           " of " + Progress::human_bytes(static_cast<double>(m_part.size())) +
                           "): the same command again continues from there";
        m_part.close();
        return shown(line);
    }
    m_part.remove();
    return "nothing was kept";
}

// Written as a payload to standard output is, through the watched write, so that an interruption ends
// it; but with no stall limit, as the sender no longer waits and a reader (a pager) may take its time.
bool Destination::copy_spool() {
    if (m_spool == nullptr) return true;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_fd = STDOUT_FILENO;  // the spool is still m_spool's
        watch_stdout();
    }
    rewind(m_spool);
    unsigned char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, m_spool)) > 0) {
        if (!write(buffer, n)) return false;
    }
    return fflush(stdout) == 0 && !ferror(m_spool);
}

std::vector<std::string> Destination::refused() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_tree ? m_tree->refused().lines() : std::vector<std::string>();
}

uint64_t Destination::refused_count() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_tree ? m_tree->refused().count() : 0;
}

std::vector<std::string> Destination::placed() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<std::string> placed = m_tree ? m_tree->placed() : std::vector<std::string>();
    for (std::string& path : placed) path = shown(path);
    return placed;
}

// What receives of the same folder that were killed left hidden beside it is told of.
void Destination::tell_leftovers() {
    if (!m_note) return;
    for (const std::string& path : TreeSink::leftovers(m_final_path))
        note(path + " is what an earlier receive of it left when it was cut off; remove it to free its room");
}

// Whether `need` more bytes fit in the final path's folder, leaving the margin; declines with
// "PATH needs X, Y free" when they do not. A file system that cannot tell is not held against it.
bool Destination::room_for(uint64_t need) {
    DiskSpace space;
    if (!disk_space(final_folder(), &space)) return true;
    std::string shortfall = space_shortfall(need, space);
    return shortfall.empty() || fail(m_final_path + " " + shortfall);
}

// Looks at the free space once the bytes written since the last look reach half of what was left
// above the margin (at most kSpaceCheckBytes), so that no burst of writes passes the margin unseen.
// false, out of space, once the margin and the `written` bytes about to go to disk are not both free.
bool Destination::watch_space(size_t written) {
    m_unchecked += written;
    if (m_unchecked < m_next_check) return true;
    m_unchecked = 0;
    DiskSpace space;
    if (!disk_space(final_folder(), &space)) return true;
    uint64_t margin = space_margin(space.size);
    if (space.free >= margin + written) {
        m_next_check =
            std::max<uint64_t>(kChunkBytes, std::min<uint64_t>(kSpaceCheckBytes, (space.free - margin - written) / 2));
        return true;
    }
    m_out_of_space = true;
    return fail("stopped before the disk of " + m_final_path + " is full: " +
                Progress::human_bytes(static_cast<double>(space.free)) + " free");
}

bool Destination::fail(const std::string& what) {
    m_error = shown(what);
    return false;
}

void Destination::note(const std::string& line) {
    if (m_note) m_note(shown(line));
}

bool Destination::fail_errno(const std::string& what) {
    // The disk filled all the same (another writer took the margin): a full disk, not a fault here,
    // and what came can be continued. Standard output or a device that is full keeps nothing.
    if ((errno == ENOSPC || errno == EDQUOT) && (m_part.is_open() || m_tree)) m_out_of_space = true;
    return fail(what + ": " + strerror(errno));
}

}  // namespace tqr
