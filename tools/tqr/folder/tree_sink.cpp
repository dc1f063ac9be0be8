#include "folder/tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
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
#include <unordered_set>

#include "folder/archive_library.h"
#include "folder/tree_disk.h"
#include "transfer/part_file.h"
#include "transfer/payload.h"

namespace tqr {

namespace {

using disk::components;
using disk::resolves_beneath;
using disk::stays_inside;
using disk::flush_tree;

constexpr size_t kQueueBytes = 4 * 1024 * 1024;  // arrived and not yet extracted, at most

la_ssize_t pull_bytes(archive*, void* client, const void** data) {
    return static_cast<TreeSink*>(client)->pull(data);
}

}  // namespace

TreeSink::~TreeSink() {
    if (m_extractor.joinable()) discard();
    if (m_hidden_fd >= 0) close(m_hidden_fd);
}

namespace {

// The folder and name of `final_path` (trailing slashes dropped).
void split_final(const std::string& final_path, std::string* parent, std::string* base) {
    std::string trimmed = final_path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    size_t slash = trimmed.find_last_of('/');
    *parent = slash == std::string::npos ? "." : slash == 0 ? "/" : trimmed.substr(0, slash);
    *base = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

constexpr char kHiddenSuffix[] = ".tqr-tree-XXXXXX";

}  // namespace

std::vector<std::string> TreeSink::leftovers(const std::string& final_path) {
    std::vector<std::string> left;
    std::string parent, base;
    split_final(final_path, &parent, &base);
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) return left;
    std::string folder = std::string(resolved) + (resolved[1] == '\0' ? "" : "/");
    std::string pattern = beside(folder + base, ".", kHiddenSuffix).substr(folder.size());
    std::string prefix = pattern.substr(0, pattern.size() - 6);
    DIR* listing = opendir(resolved);
    if (listing == nullptr) return left;
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() != pattern.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        int fd = ::open((folder + name).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat held {};
        // Locked by a receive under way: its own. Otherwise this user's, as mkdtemp made it.
        if (flock(fd, LOCK_SH | LOCK_NB) == 0 && fstat(fd, &held) == 0 && held.st_uid == geteuid() &&
            (held.st_mode & 07777) == 0700)
            left.push_back(folder + name);
        close(fd);
    }
    closedir(listing);
    return left;
}

bool TreeSink::open(const std::string& final_path, std::string* error, bool set, bool force) {
    m_set = set;
    m_force = force;
    struct stat info {};
    if (!set && lstat(final_path.c_str(), &info) == 0) {
        *error = final_path + " exists; a folder is received only under a name that is free";
        return false;
    }
    std::string unloaded;
    m_lib = archive_library(&unloaded);
    if (m_lib == nullptr) {
        *error = "cannot extract a folder here: libarchive cannot be loaded (" + unloaded + "); install libarchive13";
        return false;
    }
    std::string parent, base;
    split_final(final_path, &parent, &base);
    // libarchive extracts through no symbolic link, one on the way to the folder included (a /home
    // that links elsewhere, say): the hidden folder gets a path without any.
    char resolved[PATH_MAX];
    if (realpath(parent.c_str(), resolved) == nullptr) {
        *error = "cannot use the folder " + parent + ": " + strerror(errno);
        return false;
    }
    // The folder is written by path, so nobody else may be able to swap a folder on its way for a link
    // meanwhile (a shared folder that another user owns: its owner may rename what is in it).
    std::string risk = disk::others_may_rename(resolved);
    if (!risk.empty()) {
        *error = "cannot receive a folder into " + parent + ": " + risk +
                 ", so others could redirect what is written there; name a folder of your own with --output";
        return false;
    }
    std::string folder = std::string(resolved) + (resolved[1] == '\0' ? "" : "/");
    std::string hidden = beside(folder + base, ".", kHiddenSuffix);
    if (mkdtemp(&hidden[0]) == nullptr) {
        *error = "cannot create a folder in " + parent + ": " + strerror(errno);
        return false;
    }
    m_final = folder + base;
    m_hidden = hidden;
    m_hidden_fd = ::open(hidden.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    // Held until it is renamed or removed: a folder nobody holds is one a killed receive left (leftovers).
    if (m_hidden_fd < 0 || flock(m_hidden_fd, LOCK_EX | LOCK_NB) != 0) {
        *error = "cannot open the folder " + hidden + ": " + strerror(errno);
        if (m_hidden_fd >= 0) close(m_hidden_fd);
        m_hidden_fd = -1;
        rmdir(hidden.c_str());
        m_hidden.clear();
        return false;
    }
    m_umask = umask(0);
    umask(m_umask);
    DiskSpace space;
    m_room = UINT64_MAX;
    if (disk_space(m_hidden, &space)) m_room = space_fits(0, space) ? space.free - space_margin(space.size) : 0;
    // At their most from the start, so that the bytes are copied once and no buffer is made again as
    // the queue fills and empties.
    m_queue.reserve(kQueueBytes + kChunkBytes);
    m_pulled.reserve(kQueueBytes + kChunkBytes);
    m_extractor = std::thread([this] { extract(); });
    return true;
}

// The two threads wake each other once the lock is let go: woken while the waker still held it, the
// other thread would mostly run on the waker's CPU only to wait for the lock there.
bool TreeSink::write(const char* data, size_t size, std::string* error) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_queue.size() < kQueueBytes || m_finished || m_read_done; });
    if (m_finished && !m_ok) {
        *error = "cannot extract the folder: " + m_error;
        return false;
    }
    // Bytes after the archive's end (its padding) have nowhere to go and need none.
    if (!m_finished && !m_read_done) m_queue.append(data, size);
    lock.unlock();
    m_changed.notify_all();
    return true;
}

ssize_t TreeSink::pull(const void** data) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_pulled.clear();
    m_changed.wait(lock, [this] { return !m_queue.empty() || m_ended; });
    if (m_aborted) return -1;
    m_pulled.swap(m_queue);
    lock.unlock();
    m_changed.notify_all();
    *data = m_pulled.data();
    return static_cast<ssize_t>(m_pulled.size());
}

void TreeSink::extract() {
    archive* in = m_lib->read_new();
    m_lib->read_support_format_tar(in);
    archive* out = m_lib->write_disk_new();
    // Our own checks come first (admit); this keeps libarchive from honouring a "..". The archive's
    // links are made only once everything else is in (make_links), so no file or folder can be written
    // through one, and libarchive need not look at every name on each path (a look-up and an open per
    // name: most of the time of a folder of small files).
    // No entry replaces what an entry before it made; a folder's own entry that comes after the folder
    // was made for the files in it (as `find -depth` lists them) still gives it its mode and time: so
    // the options are set entry by entry.
    const int options = ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
    bool ok = m_lib->read_open(in, this, nullptr, pull_bytes, nullptr) == ARCHIVE_OK;
    std::string error = ok ? "" : m_lib->error_of(in);
    Refusals refused;
    while (ok) {
        archive_entry* entry = nullptr;
        int next = m_lib->read_next_header(in, &entry);
        if (next == ARCHIVE_EOF) break;
        if (next < ARCHIVE_WARN) {
            ok = false;
            error = m_lib->error_of(in);
            break;
        }
        std::string name = m_lib->entry_pathname(entry) ? m_lib->entry_pathname(entry) : "";
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
        if (m_lib->entry_filetype(entry) == AE_IFLNK) {
            m_links.push_back({name, m_lib->entry_pathname(entry), m_lib->entry_symlink(entry),
                               {m_lib->entry_mtime(entry), m_lib->entry_mtime_nsec(entry)}});
            continue;
        }
        if (m_lib->entry_filetype(entry) == AE_IFREG) {
            std::string read_error;
            if (write_file(in, entry, name, &refused, &read_error)) {
                if (!read_error.empty()) {
                    ok = false;
                    error = read_error;
                }
                continue;
            }
        }
        const bool folder = m_lib->entry_filetype(entry) == AE_IFDIR;
        const bool merge = folder && only_folders_on_way(std::string(m_lib->entry_pathname(entry)).substr(m_hidden.size() + 1));
        m_lib->write_disk_set_options(out, options | (merge ? 0 : ARCHIVE_EXTRACT_NO_OVERWRITE));
        if (m_lib->write_header(out, entry) < ARCHIVE_WARN) {
            refused.push_back(name + ": " + m_lib->error_of(out));
            continue;
        }
        const void* block;
        size_t size;
        la_int64_t offset;
        int read;
        while ((read = m_lib->read_data_block(in, &block, &size, &offset)) == ARCHIVE_OK) {
            if (m_lib->write_data_block(out, block, size, offset) < ARCHIVE_WARN) {
                refused.push_back(name + ": " + m_lib->error_of(out));
                break;
            }
        }
        if (read < ARCHIVE_WARN) {
            ok = false;
            error = m_lib->error_of(in);
        }
        m_lib->write_finish_entry(out);
    }
    {
        // Whatever comes after the archive's end has nowhere to go, and is not waited for meanwhile.
        std::lock_guard<std::mutex> guard(m_mutex);
        m_read_done = true;
        m_changed.notify_all();
    }
    // Before the folders get their modes (which may deny writing) and times (which a removal changes).
    if (ok) make_links(&refused);
    if (ok) refuse_leaving_links(&refused);
    // Closing sets the folders' modes and times, now that nothing more goes into them.
    if (m_lib->write_close(out) != ARCHIVE_OK && ok) {
        ok = false;
        error = m_lib->error_of(out);
    }
    m_lib->write_free(out);
    m_lib->read_free(in);
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
    const char* name = m_lib->entry_pathname(entry);
    std::string path = name ? name : "";
    if (path.empty()) return refuse("an entry without a name");
    if (path[0] == '/') return refuse("an absolute path");
    std::vector<std::string> parts = components(path);
    if (parts.empty()) return refuse("an entry without a name");
    if (std::find(parts.begin(), parts.end(), "..") != parts.end()) return refuse("a .. in its path");
    if (m_top.empty()) m_top = parts[0];
    if (parts[0] != m_top) return refuse("outside the folder " + m_top);
    if (m_lib->entry_hardlink(entry) != nullptr) return refuse("a hard link");
    mode_t type = m_lib->entry_filetype(entry);
    if (parts.size() == 1 && type != AE_IFDIR) return refuse("the top of the folder is not a folder");
    // A set's entries go apart: a link among them, or one that leaves its own folder, could lead to
    // whatever stands beside them.
    if (m_set && parts.size() == 2 && type == AE_IFLNK) return refuse("a link among the entries of a set");
    if (type == AE_IFLNK) {
        const char* target = m_lib->entry_symlink(entry);
        std::vector<std::string> dir(parts.begin() + 1, parts.end() - 1);
        if (target == nullptr || !stays_inside(dir, target, m_set ? 1 : 0)) return refuse("a link that leads out of the folder");
    } else if (type != AE_IFREG && type != AE_IFDIR) {
        return refuse(type == AE_IFIFO ? "a fifo" : type == AE_IFSOCK ? "a socket" : "a device node");
    }
    if (type == AE_IFREG) {
        // The size the entry claims, not the bytes it carries: a sparse entry of a terabyte is a few
        // bytes of archive.
        m_claimed += static_cast<uint64_t>(std::max<la_int64_t>(m_lib->entry_size(entry), 0));
        if (m_claimed > m_room) {
            m_full = true;
            return refuse("");
        }
    }
    if (parts.size() == 1) {
        // The hidden folder itself, which exists already: libarchive leaves it as it is, so its mode
        // and time are set once everything is in it.
        m_top_mode = m_lib->entry_perm(entry) & 0777 & ~m_umask;
        m_top_time = {m_lib->entry_mtime(entry), m_lib->entry_mtime_nsec(entry)};
        m_top_seen = true;
        return refuse("");
    }
    std::string placed = m_hidden;
    for (size_t i = 1; i < parts.size(); ++i) placed += "/" + parts[i];
    // A link is checked, and removed when it leads out, by its path below the hidden folder, which
    // must therefore be one that a call takes.
    if (type == AE_IFLNK && placed.size() - m_hidden.size() >= PATH_MAX) return refuse("a link too deep in the folder to be checked");
    if (!m_extracted.insert(std::hash<std::string>{}(placed)).second) return refuse("a second entry of the same name");
    m_lib->entry_set_pathname(entry, placed.c_str());
    // Nothing set-user-ID, set-group-ID or sticky from a stranger, and nothing this user's umask denies.
    m_lib->entry_set_perm(entry, m_lib->entry_perm(entry) & 0777 & ~m_umask);
    return true;
}

// A file is made here rather than by libarchive's writer, which copies each entry, asks the system
// for the umask twice and sets every descriptor's flags once more: for a folder of small files, an
// eighth of the receiver's CPU. What it does beyond this (making the folders on the way, a path longer
// than a call takes) it still does, for the entries this leaves to it. Nothing is followed: the
// hidden folder is private, no link exists in it before make_links(), and the last component is not
// followed either. The mode is the entry's, less the umask, as the file is created (a default access
// list of the receiving folder has its say, as for any file made there).
bool TreeSink::write_file(archive* in, archive_entry* entry, const std::string& name, Refusals* refused,
                          std::string* read_error) {
    const std::string inner = std::string(m_lib->entry_pathname(entry)).substr(m_hidden.size() + 1);
    if (inner.size() >= PATH_MAX) return false;
    int fd = openat(m_hidden_fd, inner.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    m_lib->entry_perm(entry));
    if (fd < 0) return false;
    const la_int64_t size = std::max<la_int64_t>(m_lib->entry_size(entry), 0);
    std::string failure;
    la_int64_t end = 0;
    const void* block;
    size_t length;
    la_int64_t offset;
    int read;
    while ((read = m_lib->read_data_block(in, &block, &length, &offset)) == ARCHIVE_OK) {
        if (!failure.empty()) continue;  // the rest is read, so that the next entry follows
        if (offset < 0 || offset > size || static_cast<la_int64_t>(length) > size - offset) {
            failure = "data beyond its size";
            continue;
        }
        const char* at = static_cast<const char*>(block);
        for (size_t done = 0; done < length && failure.empty();) {
            ssize_t n = pwrite(fd, at + done, length - done, offset + static_cast<la_int64_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) failure = strerror(n < 0 ? errno : EIO);
            if (n > 0) done += static_cast<size_t>(n);
        }
        end = std::max(end, offset + static_cast<la_int64_t>(length));
    }
    if (read < ARCHIVE_WARN) *read_error = m_lib->error_of(in);
    // A sparse file may end in a hole.
    if (failure.empty() && end < size && ftruncate(fd, size) != 0) failure = strerror(errno);
    const timespec times[2] = {{0, UTIME_OMIT}, {m_lib->entry_mtime(entry), m_lib->entry_mtime_nsec(entry)}};
    if (failure.empty() && futimens(fd, times) != 0) failure = strerror(errno);
    close(fd);
    if (!failure.empty()) refused->push_back(name + ": " + failure);
    return true;
}

// Whether the link's place holds that very link now (read beneath the hidden folder, not followed).
bool TreeSink::made_link(const Link& link) const {
    std::string inner = link.place.substr(m_hidden.size() + 1), target(link.target.size() + 1, '\0');
    ssize_t length = readlinkat(m_hidden_fd, inner.c_str(), &target[0], target.size());
    return length >= 0 && static_cast<size_t>(length) == link.target.size() && target.compare(0, static_cast<size_t>(length), link.target) == 0;
}

// Makes the archive's links, through no link on the way (one made before may stand on another's path)
// and in place of nothing that is there.
void TreeSink::make_links(Refusals* refused) {
    if (m_links.empty()) return;
    archive* links = m_lib->write_disk_new();
    m_lib->write_disk_set_options(links, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                              ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_NO_OVERWRITE);
    for (const Link& link : m_links) {
        if (aborted()) break;
        archive_entry* entry = m_lib->entry_new();
        m_lib->entry_copy_pathname(entry, link.place.c_str());
        m_lib->entry_set_filetype(entry, AE_IFLNK);
        m_lib->entry_set_perm(entry, 0777);
        m_lib->entry_copy_symlink(entry, link.target.c_str());
        m_lib->entry_set_mtime(entry, link.mtime.tv_sec, link.mtime.tv_nsec);
        if (m_lib->write_header(links, entry) < ARCHIVE_WARN) {
            refused->push_back(link.name + ": " + m_lib->error_of(links));
        } else if (!made_link(link)) {
            // The extractor leaves a folder or file that stands in the link's place, and says nothing.
            refused->push_back(link.name + ": a link where the archive put a folder or file already");
        }
        m_lib->write_finish_entry(links);
        m_lib->entry_free(entry);
    }
    m_lib->write_close(links);
    m_lib->write_free(links);
}

// Removes, and lists, each extracted link whose target, followed on disk through the links beside it,
// leads out of the hidden folder. One pass suffices: a link whose way passes through a link that leads
// out leads out itself, so removing the one changes no verdict on the others.
void TreeSink::refuse_leaving_links(Refusals* refused) {
    std::vector<std::string> leaving;
    std::unordered_set<std::string> left;  // the same place may come as several entries
    for (size_t i = 0; i < m_links.size() && !aborted(); ++i) {
        std::string inner = m_links[i].place.substr(m_hidden.size() + 1);
        if (left.count(inner) > 0) continue;
        if (!resolves_beneath(m_hidden_fd, components(inner), m_set ? 1 : 0)) {
            left.insert(inner);
            leaving.push_back(inner);
            refused->push_back(m_links[i].name + ": a link that leads out of the folder through the links on its way");
        }
    }
    for (const std::string& inner : leaving) unlinkat(m_hidden_fd, inner.c_str(), 0);
}

// Whether only folders stand where a folder's entry goes and on its way there (made for the entries
// before it): then the entry gives that folder its mode and time. Anything else in the way is left
// to the writer to refuse. Nothing on the way is a link yet (make_links comes last).
bool TreeSink::only_folders_on_way(std::string inner) const {
    for (;;) {
        struct stat info {};
        if (fstatat(m_hidden_fd, inner.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) return S_ISDIR(info.st_mode);
        if (errno != ENOENT) return false;
        size_t slash = inner.find_last_of('/');
        if (slash == std::string::npos) return true;  // the hidden folder itself is next
        inner.resize(slash);
    }
}

bool TreeSink::aborted() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_aborted;
}

uint64_t TreeSink::claimed_beyond_room() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_finished && m_full ? m_claimed : 0;
}

void TreeSink::finish_extraction() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }
    std::lock_guard<std::mutex> join(m_join_mutex);
    if (m_extractor.joinable()) m_extractor.join();
}

bool TreeSink::commit(std::string* error) {
    finish_extraction();
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
    if (!rename_without_replacing(m_hidden, m_final)) {
        *error = "cannot rename the folder to " + m_final + ": " + strerror(errno);
        return false;
    }
    close(m_hidden_fd);
    m_hidden_fd = -1;
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
    std::filesystem::remove_all(m_hidden, failed);
    close(m_hidden_fd);
    m_hidden_fd = -1;
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
    finish_extraction();
    if (!m_hidden.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_hidden, ignored);
        m_hidden.clear();
    }
    if (m_hidden_fd >= 0) close(m_hidden_fd);
    m_hidden_fd = -1;
}

}  // namespace tqr
