// Where `tqr receive` stores a payload. Nothing appears under the final name before all of it was
// verified, and nothing is ever replaced that the person did not agree to replace:
// - a file is written to NAME.tqr-part beside the final name (part_file.h) and renamed at the end; a
//   transfer that was cut off keeps that part, and the next receive of the same file continues it;
// - a file or folder is on disk (fsync, and its folder after the rename) before commit() returns, so
//   that a power loss after "done" finds it whole;
// - a folder is extracted into a hidden folder beside it (tree.h) and renamed at the end;
// - standard output gets each sealed chunk as soon as it was verified; a plain payload waits in a
//   temporary file until its checksum matched. A device named with --output (/dev/null) is written
//   directly.
// Nothing is begun that the disk cannot hold: a file or folder larger than the free space is declined
// before its first byte, and whatever is written (a stream's length is not known) stops before the
// disk is full, leaving it space_margin free.
// Made by the main thread; used by the bridge thread, and by the signal thread when the person
// interrupts the transfer: every call takes the one lock, which is a leaf (nothing is called with it
// held that takes another lock, except Progress lines). A write to an output whose reader may stop
// (a pipe, a fifo, a terminal) waits for it without the lock, so that an interruption is never held.
#ifndef ZEL_TOOLS_TQR_TRANSFER_DESTINATION_H
#define ZEL_TOOLS_TQR_TRANSFER_DESTINATION_H

#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transfer/part_file.h"
#include "transfer/payload.h"

namespace tqr {

class TreeSink;

constexpr uint64_t kSpaceCheckBytes = 4 << 20;

class Destination {
public:
    // A question for the person (true: yes), or null when nobody can be asked.
    typedef std::function<bool(const std::string& question)> AskFunction;
    typedef std::function<void(const std::string& line)> NoteFunction;

    // `output`: "" the sender's file name in the current folder, "-" standard output, else a folder to
    // put it in or the file to write. `sealed`: every chunk arrives verified. `force`: a file of the same
    // name may be replaced.
    Destination(const std::string& output, bool sealed, bool force, AskFunction ask, NoteFunction note);
    ~Destination();
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;

    // What can be checked before anyone was contacted: the folder exists, and a file named by --output
    // is not there (or may be replaced). false with error() set.
    bool check();

    // Each false with error() set. open() may set `*start` to the bytes kept of an earlier transfer.
    bool open(const PayloadHeader& header, uint64_t* start);
    bool write(const unsigned char* data, size_t size);
    // Moves the verified payload under its final name.
    bool commit();
    // After a transfer that failed: keeps a part that can be continued when the link was lost
    // (`link_lost`), removes anything else. What to tell the person ("" when nothing was begun).
    std::string abandon(bool link_lost);
    // The same from the signal thread, while the bridge thread may be writing: no write succeeds after it.
    std::string interrupt();
    // After commit, for a payload that waited for standard output: writes it there.
    bool copy_spool();
    // A text goes to standard output whatever --output names, waited for as a payload is there, so
    // that an interruption or a reader that stopped ends the write.
    bool write_text(const std::string& text);

    bool to_stdout() const { return m_output == "-"; }
    // "" for standard output.
    std::string final_path() const { return shown(m_final_path); }
    const std::string& error() const { return m_error; }
    // Where this transfer began: the bytes that an earlier one had kept.
    uint64_t resumed_at() const { return m_resumed_at; }
    bool is_tree() const { return m_tree != nullptr; }
    // BLAKE2b-256 of what an earlier transfer kept (open() gave a later start).
    const unsigned char* kept_hash() const { return m_part.kept_hash(); }
    // The sender found that the kept bytes are not the start of its file: drops them (and says so).
    bool restart();
    // A folder's entries that were not extracted, each with why.
    std::vector<std::string> refused() const;
    // How many entries were refused in all: refused() lists at most the first ones.
    uint64_t refused_count() const;
    // What of a set (KIND_SET) commit() put in place, beside each other.
    std::vector<std::string> placed() const;
    // write() stopped because the disk was nearly full.
    bool out_of_space() const { return m_out_of_space; }

private:
    bool choose_path(const PayloadHeader& header);
    bool may_take(const std::string& path, bool named);
    bool open_special(const std::string& path, const struct stat& named);
    void watch_stdout();
    bool room_for(uint64_t need);
    void tell_leftovers();
    bool watch_space(size_t written);
    bool hold_folder(const std::string& folder, const std::string& shown_prefix);
    std::string place(const std::string& name) const;
    std::string shown(const std::string& line) const;
    bool folder_may_receive();
    std::string final_folder() const;
    void tell_if_moved();
    void note(const std::string& line);
    bool fail(const std::string& what);
    bool fail_errno(const std::string& what);
    std::string abandon_locked(bool link_lost);
    std::string describe() const {
        return !m_final_path.empty() ? shown(m_final_path) : m_text || to_stdout() ? "standard output" : "the output";
    }

    const std::string m_output;
    const bool m_sealed;
    const bool m_force;
    const AskFunction m_ask;
    const NoteFunction m_note;

    // Guards what the signal thread touches: the state, the part, the folder, the descriptor. The
    // error text and the answer to "replace?" are the bridge thread's alone.
    mutable std::mutex m_mutex;
    bool m_stopped = false;  // interrupted or abandoned: no more writes
    bool m_replace = false;  // the final name exists and may be replaced
    bool m_committed = false;
    bool m_text = false;  // write_text() has standard output
    bool m_out_of_space = false;
    uint64_t m_unchecked = 0;   // written since the free space was last looked at
    uint64_t m_next_check = 0;  // ... and how much more may be written before the next look
    // The folder that receives, held by check() (-1 for standard output): the calls name what is in it
    // through `m_held` (/proc/self/fd/N, "" where that does not lead to it), and lines show it as
    // `m_shown_folder`, and what is in it as `m_shown_prefix` and the name, as the person gave them.
    int m_folder_fd = -1;
    std::string m_held, m_shown_folder, m_shown_prefix;
    bool m_named = false;  // --output names the file itself, not a folder
    std::string m_unwritable;  // why no file can be made in the current folder ("" when one can)
    std::string m_final_path;  // as the calls name it
    std::string m_error;
    uint64_t m_resumed_at = 0;
    PartFile m_part;
    std::unique_ptr<TreeSink> m_tree;
    int m_fd = -1;  // standard output, the spool, a device or a fifo
    FILE* m_spool = nullptr;
    // For an output that does not block (a fifo, a device, standard output on a pipe or terminal),
    // whose m_fd was opened here: interrupt() writes m_wake[1] to end the wait of a write for its reader.
    int m_wake[2] = {-1, -1};
    bool m_socket = false;  // ... and m_fd is a socket, written with sends that do not wait
};

}  // namespace tqr

#endif
