// A folder as `tqr` moves it: one pax archive, of regular files, folders and symbolic
// links that stay inside the folder, with their modes and modification times. The archive is made
// on the fly for each link and taken apart on the fly at the other end, in bounded memory whatever
// the folder holds.
//
// Every entry's path starts with the folder's name ("photos/2024/a.jpg"). Its size is known before
// the first byte goes, so a receiver sees a percentage and the sealed stream its length.
#ifndef ZEL_TOOLS_TQR_FOLDER_TREE_H
#define ZEL_TOOLS_TQR_FOLDER_TREE_H

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

struct archive;
struct archive_entry;

namespace tqr {

struct ArchiveLibrary;

// What a sender serves of a folder: opened and walked once by the main thread before any link
// exists, then read (never changed) by the threads of all links at once; stop() may come from any
// thread, and ends the walk at its next entry. The scan goes from
// folder to folder by their descriptors, never through a symbolic link; each file is later opened the
// same way from the folder that stays open here, and must be the very file (device and inode) the scan
// found, so that a folder swapped for a link after the scan sends nothing from outside.
class TreeSource {
public:
    TreeSource() = default;
    ~TreeSource();
    TreeSource(const TreeSource&) = delete;
    TreeSource& operator=(const TreeSource&) = delete;

    struct Entry {
        std::string path;    // in the archive: the folder's name, then the path inside it
        std::string inner;   // below the scanned folder ("" for the folder itself)
        dev_t device = 0;    // what the scan found there
        ino_t inode = 0;
        mode_t type = 0;     // S_IFREG, S_IFDIR or S_IFLNK
        mode_t mode = 0;
        uint64_t size = 0;
        timespec mtime{};
        std::string target;  // of a symbolic link
        size_t root = 0;     // of a set: which argument's folder `inner` starts from (folder_of)
    };

    // What is named is opened and checked at once; its folders are walked and the archive measured by
    // list() (name() is set by then).
    // false, with `error` set, when `root` is not a folder that can be read.
    bool open(const std::string& root, std::string* error);
    // Several files and folders as one archive of a folder `top` that exists nowhere, each argument an
    // entry of it under its own base name (so two may not share one). A link inside a folder of the set
    // must stay inside that folder. false, with `error` set, when an argument cannot be read or is no
    // file or folder.
    bool open_set(const std::vector<std::string>& paths, const std::string& top, std::string* error);
    // Walks what was opened. Entries that cannot go (devices, fifos, sockets, links that leave the
    // folder, what cannot be read) are left out, each told to `note` in a line. false, with `error`
    // set, when no archive can be made of it, or stop() came first.
    bool list(std::string* error, const std::function<void(const std::string&)>& note);
    // Ends a list() under way on another thread soon: at the next entry it would look at.
    void stop() { m_stop.store(true); }

    bool scan(const std::string& root, std::string* error, const std::function<void(const std::string&)>& note) {
        return open(root, error) && list(error, note);
    }
    bool scan_set(const std::vector<std::string>& paths, const std::string& top, std::string* error,
                  const std::function<void(const std::string&)>& note) {
        return open_set(paths, top, error) && list(error, note);
    }

    const std::string& name() const { return m_name; }
    // The scanned folder, open for as long as the source.
    int folder() const { return m_root_fd; }
    // The folder that `entry.inner` is relative to: the scanned folder, or a set's argument's parent.
    int folder_of(const Entry& entry) const { return m_roots.empty() ? m_root_fd : m_roots[entry.root]; }
    const std::vector<Entry>& entries_list() const { return m_entries; }
    uint64_t entries() const { return m_entries.size(); }
    // The bytes of all regular files.
    uint64_t content_bytes() const { return m_content; }
    // The archive's exact length, as every TreeStream of this source produces it.
    uint64_t archive_size() const { return m_archive_size; }

    // Folders nested deeper than this end the scan: each level holds a descriptor while its folders
    // below are walked, and a tree cut short at the descriptor limit would go out as if whole.
    static constexpr int kMostDepth = 512;

private:
    void walk(int folder, const std::string& inner, const std::string& path,
              const std::function<void(const std::string&)>& note, int depth);
    // Ends the scan for a reason that is not the entry's own (no descriptor left, too deep): the
    // folder cannot be sent whole, so it is not sent.
    void give_up(const std::string& why);

    // What open() or open_set() found, for list(): each named entry, and its folder's listing (-1 for a
    // file), open.
    struct Named {
        Entry entry;
        int listing = -1;
    };
    std::vector<Named> m_named;
    bool m_set = false;
    std::atomic<bool> m_stop{false};
    std::string m_failure;  // why the scan gave up (give_up), "" when it did not
    std::string m_link_buffer;  // the walk's, for each link's target as it is read
    int m_root_fd = -1;
    std::vector<int> m_roots;  // a set's: each argument's parent folder, open
    size_t m_walk_root = 0;    // what walk() gives its entries as `root`
    size_t m_floor = 0;        // the components of `inner` that a link may not climb out of
    uid_t m_euid = geteuid();  // whose files are read without asking the system
    std::string m_root;
    std::string m_name;
    std::vector<Entry> m_entries;
    uint64_t m_content = 0;
    uint64_t m_archive_size = 0;
};

// The bytes that announce `entry` in the archive, appended to `out`: a pax extended header and its
// records, then the entry's ustar header. They depend on the entry alone, so the archive's length is
// the sum of its entries' headers and data (padded to 512 bytes), and the two blocks of its end.
void append_header(const TreeSource::Entry& entry, std::string* out);
// How many bytes append_header() appends for `entry`, without making them.
size_t header_size(const TreeSource::Entry& entry);

// A folder of a TreeSource, open below its scanned folder: `inner` its path there ("" or ending in '/').
struct OpenFolder {
    int root = -1;  // the scanned folder it lies in
    std::string inner;
    int fd = -1;  // -1: the scanned folder itself
};

// The archive of a TreeSource for one link, pulled piece by piece by that link's thread.
class TreeStream {
public:
    explicit TreeStream(const TreeSource& source) : m_source(source) {}
    ~TreeStream();
    TreeStream(const TreeStream&) = delete;
    TreeStream& operator=(const TreeStream&) = delete;

    // Up to `size` bytes of the archive: the count, 0 at its end, -1 when a file could not be read or
    // no longer has the size it was scanned with (error()).
    ssize_t read(char* out, size_t size);
    const std::string& error() const { return m_error; }

private:
    ssize_t read_file(char* out, size_t room);
    bool begin_next();
    bool fail(const std::string& what);

    const TreeSource& m_source;
    std::string m_buffer;  // a header, a file's padding or the end: made, not yet read
    size_t m_taken = 0;    // of m_buffer, already read
    size_t m_next = 0;     // the entry to begin next
    int m_fd = -1;         // the regular file being added
    OpenFolder m_folder;   // the folder of the last one
    uint64_t m_left = 0;   // of its bytes
    struct stat m_opened {};  // its times when it was opened, to tell a file written meanwhile
    bool m_closed = false;
    std::string m_error;
};

// Where `tqr receive` extracts a folder: into a hidden folder beside the final one, renamed to it
// once the whole archive was in, so that the folder appears whole or not at all. Entries that could
// reach outside it are refused and listed: absolute paths, "..", paths outside the top folder,
// links that leave the tree, hard links, device nodes, fifos and sockets. A link's target is judged
// on disk once everything is in, followed through the links beside it as the kernel would follow it,
// so that links that each stay inside cannot add up to a way out. What it creates is masked by the
// receiver's umask, and entries that claim (sparse ones included) more than the free space stop it.
//
// The bridge thread calls write() as the archive arrives; a thread of the sink's own extracts it,
// taking the bytes through a bounded queue (libarchive reads by pulling). Made and ended by the
// Destination, which serialises the calls; `m_mutex` guards the queue and the extractor's results
// and is a leaf.
// How many lines of what a folder's sender skips or its receiver refuses are told one by one; the
// rest are counted. A folder may hold millions of them; the person needs the first ones and the count.
constexpr size_t kListedEntries = 1000;

// Entries that were not extracted, each with why: the first kListedEntries, and how many more.
class Refusals {
public:
    static constexpr size_t kListed = kListedEntries;
    void push_back(std::string line) {
        if (m_lines.size() < kListed) {
            m_lines.push_back(std::move(line));
        } else {
            ++m_more;
        }
    }
    const std::vector<std::string>& lines() const { return m_lines; }
    uint64_t count() const { return m_lines.size() + m_more; }

private:
    std::vector<std::string> m_lines;
    uint64_t m_more = 0;
};

class TreeSink {
public:
    TreeSink() = default;
    ~TreeSink();
    TreeSink(const TreeSink&) = delete;
    TreeSink& operator=(const TreeSink&) = delete;

    // false, with `error` set, when `final_path` exists (a folder is never merged into another) or the
    // hidden folder cannot be made.
    // With `set`, the archive is a set's (KIND_SET): `final_path` is where its top folder would go,
    // which is never made, and commit() places each entry of the top folder beside it, each whole or
    // not at all, replacing a file of the same name only with `force` and a folder never.
    bool open(const std::string& final_path, std::string* error, bool set = false, bool force = false);
    // The hidden folders that receives of `final_path` left when they were killed (no receive holds
    // them: each holds its own locked while it writes), this user's and private, so that the person
    // learns of their bytes and of the room they take. They are not removed: nothing proves that a
    // folder of that name was made by a receive, and it may hold what someone keeps.
    static std::vector<std::string> leftovers(const std::string& final_path);
    bool write(const char* data, size_t size, std::string* error);
    // The archive is complete: waits for the extraction to end, which may take a while after the last
    // byte (the archive's links are made and judged then); discard() from another thread ends it sooner.
    void finish_extraction();
    // The archive is complete: finishes the extraction and renames the folder into place.
    bool commit(std::string* error);
    // Stops the extraction and removes the hidden folder. May run while another thread is in
    // finish_extraction(), not while it is in any other call.
    void discard();
    const Refusals& refused() const { return m_refused; }
    // A set's entries that commit() put in place.
    const std::vector<std::string>& placed() const { return m_placed; }
    // The extraction stopped because the entries claim more than the free space (less its margin):
    // what they claimed by then. 0 otherwise.
    uint64_t claimed_beyond_room() const;

    // libarchive's read callback, on the extracting thread: the next bytes, or 0 at the end.
    ssize_t pull(const void** data);

private:
    void extract();
    bool admit(archive_entry* entry, std::string* why);
    // Writes the regular file `entry` (admitted) itself: false, having read nothing of its data, when
    // it cannot be made here and libarchive is to make it instead.
    bool write_file(archive* in, archive_entry* entry, const std::string& name, Refusals* refused,
                    std::string* read_error);
    void make_links(Refusals* refused);
    void refuse_leaving_links(Refusals* refused);
    bool aborted() const;
    bool only_folders_on_way(std::string inner) const;

    const ArchiveLibrary* m_lib = nullptr;  // from open() on
    std::string m_final;
    bool m_set = false, m_force = false;
    std::vector<std::string> m_placed;
    bool place_apart(std::string* error);
    std::string m_hidden;
    int m_hidden_fd = -1;     // the hidden folder, which links are resolved beneath
    mode_t m_umask = 022;
    uint64_t m_room = 0;      // what the entries may claim in all: the free space less the margin
    uint64_t m_claimed = 0;
    bool m_full = false;      // ... more than m_room: the extractor stopped
    // A symbolic link entry, made once every file and folder is in (make_links).
    struct Link {
        std::string name;    // the entry's
        std::string place;   // its path below the hidden folder
        std::string target;
        timespec mtime{};
    };
    bool made_link(const Link& link) const;
    std::vector<Link> m_links;
    // The hashes of the names extracted so far: a second entry of a name would replace the first
    // without a word. Eight bytes a name, where the names themselves could be 4 KiB each.
    std::unordered_set<size_t> m_extracted;
    std::string m_top;        // the archive's top folder name, from its first entry
    bool m_top_seen = false;  // its entry came: its mode and time, for the hidden folder
    mode_t m_top_mode = 0;
    timespec m_top_time{};
    std::thread m_extractor;
    // Guards the join of m_extractor, which finish_extraction() and discard() may both want at once;
    // taken before m_mutex, never while holding it.
    std::mutex m_join_mutex;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_queue;      // arrived, not yet pulled
    std::string m_pulled;     // handed to libarchive, which reads it until its next pull
    bool m_ended = false;     // no more bytes will come (commit or discard)
    bool m_aborted = false;   // discard: the extractor stops at its next pull, or its next link
    bool m_read_done = false;  // the extractor read the archive's end: what comes after is dropped
    bool m_finished = false;  // the extractor is done
    bool m_ok = false;        // ... and read the archive to its end
    std::string m_error;
    Refusals m_refused;
};

}  // namespace tqr

#endif
