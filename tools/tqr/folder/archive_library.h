// libarchive, as the receiver of a folder reaches it: loaded the first time a folder or set arrives,
// not linked. Linked, it and the libraries it pulls in are mapped and relocated at every start of the
// tool, for a file, a coordinator or --version alike, which costs each start a few milliseconds of
// page faults; only the extractor uses it. The table is filled once, by whichever thread asks first,
// and read-only after that from any thread.
#ifndef ZEL_TOOLS_TQR_FOLDER_ARCHIVE_LIBRARY_H
#define ZEL_TOOLS_TQR_FOLDER_ARCHIVE_LIBRARY_H

#include <archive.h>
#include <archive_entry.h>

#include <string>

namespace tqr {

// The functions the extractor calls, each as `name` for libarchive's archive_`name`.
#define TQR_ARCHIVE_FUNCTIONS(X)                                                                   \
    X(read_new) X(read_support_format_tar) X(read_open) X(read_next_header) X(read_data_block)      \
    X(read_free) X(write_disk_new) X(write_disk_set_options) X(write_header) X(write_data_block)    \
    X(write_finish_entry) X(write_close) X(write_free) X(error_string) X(entry_new) X(entry_free)   \
    X(entry_pathname) X(entry_symlink) X(entry_hardlink) X(entry_filetype) X(entry_perm)           \
    X(entry_size) X(entry_mtime) X(entry_mtime_nsec) X(entry_set_pathname) X(entry_copy_pathname)  \
    X(entry_copy_symlink) X(entry_set_filetype) X(entry_set_perm) X(entry_set_mtime)

struct ArchiveLibrary {
#define TQR_ARCHIVE_POINTER(name) decltype(&::archive_##name) name = nullptr;
    TQR_ARCHIVE_FUNCTIONS(TQR_ARCHIVE_POINTER)
#undef TQR_ARCHIVE_POINTER

    // The last error of `failed`, which may be none.
    std::string error_of(archive* failed) const;
};

// The library, loaded on the first call; nullptr, with `*why` naming what failed, when it cannot be
// (not installed, or too old to have a function the extractor calls). Tried once: the answer holds
// for the process.
const ArchiveLibrary* archive_library(std::string* why);

}  // namespace tqr

#endif
