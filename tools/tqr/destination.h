// Where `tqr receive` stores a payload. The file appears under its final name only once it was
// verified: it is written to a hidden temporary file in the same folder and renamed. Standard output
// gets each sealed chunk as soon as it was verified; a plain payload waits in a temporary file until
// its checksum matched. Made by the main thread, used by the bridge thread, read again by the main
// thread once that one was joined.
#ifndef ZEL_TOOLS_TQR_DESTINATION_H
#define ZEL_TOOLS_TQR_DESTINATION_H

#include <cstdio>
#include <string>

#include "tools/tqr/payload.h"

namespace tqr {

class Destination {
public:
    // `output`: "" the sender's file name in the current folder, "-" standard output, else a folder to
    // put it in or the file to write. `sealed`: every chunk arrives verified.
    Destination(const std::string& output, bool sealed) : m_output(output), m_sealed(sealed) {}
    ~Destination();
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // Each false with error() set.
    bool open(const PayloadHeader& header);
    bool write(const unsigned char* data, size_t size);
    // Moves the verified payload under its final name.
    bool commit();
    void discard();
    // After commit, for a payload that waited for standard output: writes it there.
    bool copy_spool();

    bool to_stdout() const { return m_output == "-"; }
    // "" for standard output.
    const std::string& final_path() const { return m_final_path; }
    const std::string& error() const { return m_error; }

private:
    bool fail(const std::string& what);
    std::string describe() const { return m_final_path.empty() ? "the output" : m_final_path; }

    std::string m_output;
    bool m_sealed;
    int m_fd = -1;
    std::string m_temp;
    std::string m_final_path;
    std::string m_error;
    FILE* m_spool = nullptr;
};

}  // namespace tqr

#endif
