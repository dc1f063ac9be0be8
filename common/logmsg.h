// The library's log stream. The library never opens it; a host that wants the log opens it on a file
// of its own choosing (g_logmsg.open(path)) before it starts any Caller, and everything the library
// writes to it while it is closed is dropped.
#ifndef ZEL_COMMON_LOGMSG_H
#define ZEL_COMMON_LOGMSG_H

#include <fstream>
#include <mutex>

#include "common/export.h"

ZEL_API extern std::ofstream g_logmsg;

namespace zel {

// Guards g_logmsg: every line the library writes holds it from the first piece to std::endl, so
// lines from several threads never interleave. A leaf lock: nothing is taken while it is held.
std::mutex& logmsg_mutex();

// Writes one whole line to g_logmsg: the pieces with operator<<, then std::endl. Costs one lock and a
// test when the stream is closed.
template <typename... Pieces>
void logline(const Pieces&... pieces) {
    std::lock_guard<std::mutex> guard(logmsg_mutex());
    if (!g_logmsg.is_open()) return;
    (g_logmsg << ... << pieces) << std::endl;
}

}  // namespace zel

#endif
