// A file being received, kept under one stable name (NAME.tqr-part beside its final name) so that a
// transfer that was cut off can go on where it stopped. The file holds the bytes received so far,
// then a record of what they are the start of:
//
//   name | name length (2 bytes, big-endian) | size (8) | identity (32) | have (8) | "TQRPART1"
//
// The record follows the bytes and is rewritten after every piece, so the file always describes
// itself; a process killed between the two writes leaves a part without a record, which the next
// receiver discards. Only payloads with an identity (a BLAKE2b of the whole content, payload.h) get
// a record: the rest is never continued, and its part is removed when the transfer fails.
//
// The part is locked (flock) for as long as it is open, so that two receivers of one file never write
// into each other. Owned by the Destination, which serialises every call.
#ifndef ZEL_TOOLS_TQR_PART_FILE_H
#define ZEL_TOOLS_TQR_PART_FILE_H

#include <sodium.h>

#include <cstdint>
#include <string>

#include "tools/tqr/payload.h"

namespace tqr {

class PartFile {
public:
    PartFile() = default;
    // Closes the part (releasing its lock) and leaves it where it is.
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    // Opens `path`, creating it when it is not there, and takes its lock. false, with `error` set, when
    // it cannot be created or another receiver holds it.
    bool open(const std::string& path, std::string* error);

    // Makes the part the start of `header`'s payload: returns how many bytes of it the part already
    // holds (0 when the payload cannot be continued, or the part holds anything else, which is then
    // dropped; `*dropped` tells of it). Those bytes are read once more, to verify the whole file at the
    // end. -1 when the part cannot be read or written.
    int64_t adopt(const PayloadHeader& header, bool* dropped);

    // Appends payload bytes (and the record, for a payload that can be continued).
    bool append(const unsigned char* data, size_t size);

    // The payload is complete: drops the record, verifies a continued payload against its identity
    // (`*mismatch` when it does not match) and gives it the mode of a new file. The part stays open and
    // locked until the caller renamed it.
    bool finish(bool* mismatch);

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
    bool write_record();

    int m_fd = -1;
    std::string m_path;
    PayloadHeader m_header;
    bool m_continuable = false;  // the payload has an identity: the part carries a record
    bool m_verify = false;       // some bytes came from an earlier transfer: hash the whole file
    uint64_t m_have = 0;
    crypto_generichash_state m_hash;
};

}  // namespace tqr

#endif
