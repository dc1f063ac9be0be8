#include "tools/tqr/tree.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>

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

// Whether a link in the folder `dir` (components below the top) to `target` stays inside the tree.
bool stays_inside(std::vector<std::string> dir, const std::string& target) {
    if (target.empty() || target[0] == '/') return false;
    for (const std::string& part : components(target)) {
        if (part != "..") {
            dir.push_back(part);
        } else if (dir.empty()) {
            return false;
        } else {
            dir.pop_back();
        }
    }
    return true;
}

// The archive's entry of `entry`, as both the dry run and the stream write it.
archive_entry* make_entry(const TreeSource::Entry& entry) {
    archive_entry* made = archive_entry_new();
    archive_entry_set_pathname_utf8(made, entry.path.c_str());
    archive_entry_set_filetype(made, entry.type);
    archive_entry_set_perm(made, entry.mode & 07777);
    archive_entry_set_mtime(made, entry.mtime.tv_sec, entry.mtime.tv_nsec);
    if (entry.type == S_IFREG) archive_entry_set_size(made, static_cast<la_int64_t>(entry.size));
    if (entry.type == S_IFLNK) archive_entry_set_symlink_utf8(made, entry.target.c_str());
    return made;
}

// A pax writer, unblocked so that its length is the sum of what it writes, feeding `write`.
archive* new_writer(void* client, archive_write_callback* write) {
    archive* out = archive_write_new();
    archive_write_set_format_pax(out);
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

}  // namespace

bool TreeSource::scan(const std::string& root, std::string* error,
                      const std::function<void(const std::string&)>& note) {
    char resolved[PATH_MAX];
    struct stat info {};
    if (realpath(root.c_str(), resolved) == nullptr || stat(resolved, &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = "cannot read the folder " + root + ": " + strerror(errno ? errno : ENOTDIR);
        return false;
    }
    m_root = resolved;
    m_name = m_root == "/" ? "root" : m_root.substr(m_root.find_last_of('/') + 1);
    DIR* top = opendir(m_root.c_str());
    if (top == nullptr) {
        *error = "cannot read the folder " + root + ": " + strerror(errno);
        return false;
    }
    closedir(top);
    m_entries.clear();
    m_content = 0;
    Entry folder;
    folder.path = m_name;
    folder.source = m_root;
    folder.type = S_IFDIR;
    folder.mode = info.st_mode;
    folder.mtime = info.st_mtim;
    m_entries.push_back(folder);
    walk(m_root, m_name, note);

    // The exact length: the same entries written without their data, which the writer pads with
    // zeros to the sizes the headers announce.
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

void TreeSource::walk(const std::string& source, const std::string& path,
                      const std::function<void(const std::string&)>& note) {
    DIR* folder = opendir(source.c_str());
    if (folder == nullptr) {
        note("skipped " + path + ": " + strerror(errno));
        return;
    }
    std::vector<std::string> names;
    while (dirent* found = readdir(folder)) {
        if (strcmp(found->d_name, ".") != 0 && strcmp(found->d_name, "..") != 0) names.push_back(found->d_name);
    }
    closedir(folder);
    // Sorted, so that every link gets the same archive.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        Entry entry;
        entry.source = source + "/" + name;
        entry.path = path + "/" + name;
        struct stat info {};
        if (lstat(entry.source.c_str(), &info) != 0) {
            note("skipped " + entry.path + ": " + strerror(errno));
            continue;
        }
        entry.type = info.st_mode & S_IFMT;
        entry.mode = info.st_mode;
        entry.mtime = info.st_mtim;
        if (S_ISREG(info.st_mode)) {
            int fd = open(entry.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0) {
                note("skipped " + entry.path + ": " + strerror(errno));
                continue;
            }
            close(fd);
            entry.size = static_cast<uint64_t>(info.st_size);
            m_content += entry.size;
        } else if (S_ISLNK(info.st_mode)) {
            char target[PATH_MAX];
            ssize_t length = readlink(entry.source.c_str(), target, sizeof target - 1);
            if (length < 0) {
                note("skipped " + entry.path + ": " + strerror(errno));
                continue;
            }
            entry.target.assign(target, static_cast<size_t>(length));
            std::vector<std::string> dir = components(entry.path);
            dir.erase(dir.begin());
            dir.pop_back();
            if (!stays_inside(dir, entry.target)) {
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
        if (S_ISDIR(info.st_mode)) walk(entry.source, entry.path, note);
    }
}

TreeStream::~TreeStream() {
    if (m_fd >= 0) close(m_fd);
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

ssize_t TreeStream::read(char* out, size_t size) {
    while (m_taken == m_buffer.size()) {
        m_buffer.clear();
        m_taken = 0;
        if (m_closed) return 0;
        if (!produce()) return -1;
    }
    size_t n = std::min(size, m_buffer.size() - m_taken);
    memcpy(out, m_buffer.data() + m_taken, n);
    m_taken += n;
    return static_cast<ssize_t>(n);
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
        m_fd = open(entry.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        struct stat info {};
        if (m_fd < 0 || fstat(m_fd, &info) != 0) return fail("cannot read " + entry.path + ": " + strerror(errno));
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
}

bool TreeSink::open(const std::string& final_path, std::string* error) {
    struct stat info {};
    if (lstat(final_path.c_str(), &info) == 0) {
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
    // Our own checks come first (admit); these keep libarchive from writing through a link that an
    // earlier entry made, or from honouring a "..".
    archive_write_disk_set_options(out, ARCHIVE_EXTRACT_TIME | ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                            ARCHIVE_EXTRACT_SECURE_NODOTDOT);
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
            if (!why.empty()) refused.push_back(name + ": " + why);
            continue;  // the next header skips its data
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
    if (type == AE_IFLNK) {
        const char* target = archive_entry_symlink(entry);
        std::vector<std::string> dir(parts.begin() + 1, parts.end() - 1);
        if (target == nullptr || !stays_inside(dir, target)) return refuse("a link that leads out of the folder");
    } else if (type != AE_IFREG && type != AE_IFDIR) {
        return refuse(type == AE_IFIFO ? "a fifo" : type == AE_IFSOCK ? "a socket" : "a device node");
    }
    if (parts.size() == 1) {
        // The hidden folder itself, which exists already: libarchive leaves it as it is, so its mode
        // and time are set once everything is in it.
        m_top_mode = archive_entry_perm(entry) & 0777;
        m_top_time = {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)};
        m_top_seen = true;
        return refuse("");
    }
    std::string placed = m_hidden;
    for (size_t i = 1; i < parts.size(); ++i) placed += "/" + parts[i];
    archive_entry_set_pathname(entry, placed.c_str());
    // Nothing set-user-ID, set-group-ID or sticky from a stranger.
    archive_entry_set_perm(entry, archive_entry_perm(entry) & 0777);
    return true;
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
    if (m_top_seen) {
        timespec times[2] = {{0, UTIME_OMIT}, m_top_time};
        chmod(m_hidden.c_str(), m_top_mode);
        utimensat(AT_FDCWD, m_hidden.c_str(), times, 0);
    }
    if (!rename_without_replacing(m_hidden, m_final)) {
        *error = "cannot rename the folder to " + m_final + ": " + strerror(errno);
        return false;
    }
    m_hidden.clear();
    return true;
}

void TreeSink::discard() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_aborted = true;
    }
    stop_extractor();
    if (m_hidden.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_hidden, ignored);
    m_hidden.clear();
}

}  // namespace tqr
