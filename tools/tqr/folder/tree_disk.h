// How a folder lies on disk, for the archive's writer (tree_source.cpp) and its extractor
// (tree_sink.cpp): the components of a path, where a symbolic link leads, and the flush of a tree.
// Pure functions and system calls; any thread.
#ifndef ZEL_TOOLS_TQR_FOLDER_TREE_DISK_H
#define ZEL_TOOLS_TQR_FOLDER_TREE_DISK_H

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tqr {
namespace disk {

// The components of a relative path, without empty ones and ".".
std::vector<std::string> components(const std::string& path);

// Whether a link in the folder `dir` (components below the top) to `target` stays inside the tree,
// and below the first `floor` components of `dir` (a set's entry: inside its own folder).
bool stays_inside(std::vector<std::string> dir, const std::string& target, size_t floor = 0);

// Whether the symbolic link at `at` (components below the folder open as `root`) leads to a place
// beneath `root` when followed as the kernel follows it (tree_disk.cpp says how far it follows).
bool resolves_beneath(int root, const std::vector<std::string>& at, size_t floor = 0);

// Whether the file open as `fd` is still the version `opened` (an fstat of it) described: the same
// size and modification time. A write moves the time; a change of mode, links, name or access time
// (the status change time) does not change the content, and a link that reads the file meanwhile
// goes on.
bool same_version(int fd, const struct stat& opened);

// Why someone other than this user and the system could rename what is made below the folder
// `resolved` (a path without links), and so put a link in its place while it is written by path: a
// folder on the way that belongs to another user and that others may write in (a shared folder of
// theirs), or that everyone, a group other than this user's own, or the users and groups its access
// list names may write in without the sticky bit. "" when nobody could.
std::string others_may_rename(const std::string& resolved);

// Why `path` may not be followed: a symbolic link that another user made, in a shared folder say,
// leads where that user chose, whichever component of the path it is and however it is reached (a
// link of this user's own that leads through one of theirs included). "" when none is on the way.
// `tool` names the command in the line.
std::string foreign_link(const std::string& path, const std::string& tool);

// Why open_trusted() refused a file.
enum TrustFault {
    TRUST_LINK,   // a link of another user is on the path, or came onto it while it was opened
    TRUST_KIND,   // not a kind of file the caller takes
    TRUST_OWNER,  // another user's, who could read or rewrite it
    TRUST_ERRNO,  // it could not be opened or looked at
};

// What open_trusted() takes beside a regular file.
enum TrustKinds {
    TAKE_DEVICE = 1,  // a character device (/dev/null, a terminal)
    TAKE_FIFO = 2,    // a fifo or a pipe (/dev/stdin, a shell's <(...)); for writing, only one that someone reads
};

// `path` opened with `flags` (without blocking, never as a terminal that ends the process), or -1
// with `*fault` and `*why` (a phrase such as "is not a regular file", the link's line, or
// strerror). Taken only when it is this user's or the system's and reached through no link of another
// user; a file someone else made, or could swap in, is theirs to read or to rewrite. `kinds`
// (TrustKinds) are taken beside a regular file. Each is judged before it is opened, so that a device
// is not even opened, and again on what was opened, so that a swap between the two is caught.
int open_trusted(const std::string& path, int flags, unsigned kinds, const std::string& tool, TrustFault* fault,
                 std::string* why);

// Puts every file and folder below `root` (open as `root_fd`) on disk. false, with `error` set, when
// a flush failed.
bool flush_tree(const std::string& root, int root_fd, std::string* error);

}  // namespace disk
}  // namespace tqr

#endif
