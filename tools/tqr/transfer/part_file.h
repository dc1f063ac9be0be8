// A file being received, kept under one stable name (NAME.tqr-part beside its final name) so that a
// transfer that was cut off can go on where it stopped. The file holds the bytes received so far,
// then a record of what they are the start of:
//
//   name | name length (2 bytes, big-endian) | size (8) | identity (32) | have (8) | "TQRPART1"
//
// The record ends the file and is rewritten after every piece, so the file always describes itself: a
// process killed while a piece is written leaves the record of the bytes before it (append). Bytes and
// record reach the disk (fdatasync) at checkpoints, every kCheckpointBytes or kCheckpointSeconds,
// whichever comes first: a power loss costs at most that much
// of the transfer, and whatever it tore is caught when the sender compares the hash of the kept bytes
// with that of the same range of its file, before it continues. The finished file is flushed (fsync)
// before the caller renames it. Only payloads with an identity (files of the encrypted format,
// payload.h) get a record: the rest is never continued, and its part is removed when the transfer fails.
//
// The part is locked (flock) for as long as it is open, so that two receivers of one file never write
// into each other. A part is always this user's own: created exclusively (mode 0600, through no link),
// or continued only when it is a private regular file of this user with one link and a record, so
// that nobody who can write the folder (a shared /tmp) plants a part to read the payload or to own the
// file it becomes. Owned by the Destination, which serialises every call.
#ifndef ZEL_TOOLS_TQR_TRANSFER_PART_FILE_H
#define ZEL_TOOLS_TQR_TRANSFER_PART_FILE_H

#include <sodium.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "transfer/payload.h"

namespace tqr {

// A file system's room for this user, as statvfs tells it (f_bavail): what a receiver checks before
// it stores anything, and while it stores what has no announced size.
struct DiskSpace {
    uint64_t free = 0;
    uint64_t size = 0;
};
// false, with errno set, when `folder`'s file system cannot tell.
bool disk_space(const std::string& folder, DiskSpace* space);
// What a receiver leaves free on a file system of `size` bytes: 1% of it, at most 64 MiB.
uint64_t space_margin(uint64_t size);
// Whether `need` more bytes leave at least the margin free.
bool space_fits(uint64_t need, const DiskSpace& space);
// Flushes `folder`'s entries to disk (fsync), so that a rename into it outlives a power loss. false
// with errno set.
bool sync_folder(const std::string& folder);

// The path of a file beside `path`, whose name is `prefix`, path's own name and `suffix`: as it is
// when that fits in a name (255 bytes), else with path's name cut at a character's boundary and
// marked with a hash of the whole name, so that one final name always gets the same part, and two
// long names that begin alike get two. "report.pdf" -> "report.pdf.tqr-part".
std::string beside(const std::string& path, const std::string& prefix, const std::string& suffix);

constexpr uint64_t kCheckpointBytes = uint64_t{64} << 20;
constexpr int kCheckpointSeconds = 1;

class PartFile {
public:
    PartFile() = default;
    // Closes the part (releasing its lock) and leaves it where it is.
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Opens `path`, creating it when it is not there, and takes its lock. false, with `error` set, when
    // it cannot be created, another receiver holds it, or the part there may not be continued (another
    // user's, readable by others, linked, not a regular file, without a record): that part is left
    // alone, unless `fresh`, which removes it (`*removed` tells why) and creates a new one.
    bool open(const std::string& path, bool fresh, std::string* error, std::string* removed = nullptr);

    // Makes the part the start of `header`'s payload: returns how many bytes of it the part already
    // holds (0 when the payload cannot be continued, or the part holds anything else, which is then
    // dropped; `*dropped` tells of it). Those bytes are read once more, for kept_hash(). -1 when the
    // part cannot be read or written.
    int64_t adopt(const PayloadHeader& header, bool* dropped);
    // BLAKE2b-256 of the bytes adopt() kept.
    const unsigned char* kept_hash() const { return m_kept_hash; }
    // Drops the kept bytes (they are not the start of the sender's file any more): the payload comes
    // from 0. false when the part cannot be written.
    bool restart();

    // Appends payload bytes (and the record, for a payload that can be continued).
    bool append(const unsigned char* data, size_t size);

    // The payload is complete: drops the record, gives the part the mode of a new file and flushes it
    // to disk. The part stays open and locked until the caller renamed it.
    bool finish();

    // Whether the part's name still leads to the file this receiver writes (just before it is renamed).
    bool still_named() const;
    // Removes the part (before it is closed, so no other receiver ever holds a removed one).
    void remove();
    // Closes it, leaving the file.
    void close();

    bool is_open() const { return m_fd >= 0; }
    bool continuable() const { return m_continuable; }
    uint64_t have() const { return m_have; }
    uint64_t size() const { return m_header.size; }
    const std::string& path() const { return m_path; }

private:
    // The record that says the part starts with `have` bytes of the payload, written at `at`.
    bool write_record(uint64_t have, uint64_t at);
    bool checkpoint(size_t appended);

    int m_fd = -1;
    std::string m_path;
    PayloadHeader m_header;
    bool m_continuable = false;  // the payload has an identity: the part carries a record
    uint64_t m_have = 0;
    uint64_t m_unsynced = 0;  // appended since the last checkpoint
    std::chrono::steady_clock::time_point m_synced;
    unsigned char m_kept_hash[kIdentityBytes] = {};
};

}  // namespace tqr

#endif
