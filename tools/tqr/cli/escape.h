// The one form in which `tqr` shows a text that came from a peer or a file system (nicknames,
// conference names, port texts, addresses, file and entry names, error texts that quote them): on a
// terminal, in the coordinator's status lines, in a log and in every --json value. It is the library's
// own (zel::printable), so the tool's lines and the library's read alike.
//
// Applied where lines are written (Progress, write_status), so callers pass texts as they came and
// nothing is escaped twice. The payload that `receive -o -` writes to standard output is data and never
// goes through it.
#ifndef ZEL_TOOLS_TQR_CLI_ESCAPE_H
#define ZEL_TOOLS_TQR_CLI_ESCAPE_H

#include <string>

namespace tqr {

// `text` with printable UTF-8 of any script unchanged, the backslash as \\ and every other byte as
// \xNN: C0 controls (TAB, CR, LF, ESC...), DEL, bytes of invalid UTF-8, and each byte of the UTF-8
// form of the C1 controls (U+0080-U+009F) and of the bidirectional controls (U+202A-U+202E,
// U+2066-U+2069, and the marks U+200E, U+200F, U+061C) and of U+2028, U+2029. The tool's own texts
// are plain printable and pass unchanged. Safe from any thread.
std::string escaped(const std::string& text);

}  // namespace tqr

#endif
