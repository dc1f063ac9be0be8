// The library's log stream. The library never opens it; a host that wants the log opens it on a file
// of its own choosing (g_logmsg.open(path)) before it starts any Caller, and everything the library
// writes to it while it is closed is dropped.
#ifndef ZEL_COMMON_LOGMSG_H
#define ZEL_COMMON_LOGMSG_H

#include <fstream>
#include <mutex>
#include <string>

#include "common/export.h"
#include "common/zel_common.h"

ZEL_API extern std::ofstream g_logmsg;

namespace zel {

// Guards g_logmsg: every line the library writes holds it from the first piece to std::endl, so
// lines from several threads never interleave. A leaf lock: nothing is taken while it is held.
ZEL_API std::mutex& logmsg_mutex();

// A piece of a log line as it is written. Text that may come from a peer (strings and character
// pointers) is made printable; literals of the library's own (character arrays) go as they are.
template <typename Piece>
const Piece& log_piece(const Piece& piece) {
    return piece;
}
template <size_t N>
const char* log_piece(const char (&literal)[N]) {
    return literal;
}
inline std::string log_piece(const std::string& text) { return printable(text); }
inline std::string log_piece(const char* text) { return printable(std::string(text ? text : "")); }
inline std::string log_piece(char* text) { return log_piece(static_cast<const char*>(text)); }

// Writes one whole line to g_logmsg: the pieces with operator<<, then std::endl. A closed stream costs
// a test and no lock: the host opens the stream before it starts any Caller and closes it after the
// last has gone, so no thread of ours can see it change.
template <typename... Pieces>
void logline(const Pieces&... pieces) {
    if (!g_logmsg.is_open()) return;
    std::lock_guard<std::mutex> guard(logmsg_mutex());
    if (!g_logmsg.is_open()) return;
    (g_logmsg << ... << log_piece(pieces)) << std::endl;
}

}  // namespace zel

#endif
