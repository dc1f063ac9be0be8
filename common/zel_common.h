// Settings and diagnostic lines: the process-wide services that the protocol library takes from its
// sibling library. This is a small stand-in with the same calls, and two of the library's own: its
// error lines, and quiet.
//
// Every line is formatted first, made printable() but for its final newline (a peer's bytes can
// neither start a line of their own, nor move the cursor, nor reorder what the line shows), and then
// written whole with one call under a process-wide lock, so lines from several threads never interleave.
//
// Thread safety: every function may be called from any thread at any time.
#ifndef ZEL_COMMON_ZEL_COMMON_H
#define ZEL_COMMON_ZEL_COMMON_H

#include <cstdio>
#include <string>

#include "common/export.h"

// Writes one printf-style line to `stream`. Returns the number of bytes written, 0 while quiet,
// negative on a formatting error.
int zel_inform(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));
int zel_quiet();
// The quiet test comes before the call: a quiet process does not even pass the arguments of the many
// lines the library says on its every step. A statement, as every call of it is.
#define zel_inform(...)                              \
    do {                                             \
        if (!zel_quiet()) (zel_inform)(__VA_ARGS__); \
    } while (0)

// The library's error lines ("TQR: ..."), on standard error, in the same form; silenced with quiet
// too, since a peer can make some of them at will. Returns as zel_inform.
int zel_error(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Registers `value` as the default of setting `name`, used while the environment does not set it.
// Returns 0. A later call for the same name replaces the earlier default.
int zel_env_set_default(const char* name, const char* value);

// The setting `name` as an int: the environment's value if it is set, else the registered default,
// else 0. A value that does not start with a number reads as 0 (as atoi does).
int zel_env_get_int(const char* name);

namespace zel {

// Silences (non-zero) or restores (0) every later zel_inform and zel_error line. Off at start. Cheap
// to test, so a quiet process does not even format its lines.
ZEL_API void set_quiet(int quiet);

// `text` as a terminal, a log or a JSON reader may be shown it: it stays on one line, cannot move a
// cursor or reorder the line, and tells exactly what it held. Printable UTF-8 of any script passes
// unchanged; a backslash becomes \\; every other byte is written \xNN (two lower-case hex digits):
// C0 controls (TAB, CR, LF, ESC...), DEL, bytes of no valid UTF-8 sequence (raw 0x80-0xFF, overlong
// forms, surrogates, cut sequences), and each byte of the UTF-8 form of the C1 controls U+0080-U+009F,
// of the bidirectional controls U+202A-U+202E, U+2066-U+2069, U+200E, U+200F, U+061C, and of the line
// and paragraph separators U+2028, U+2029. With `keep_final_newline`, a last '\n' stays. Text that is
// plain printable ASCII without a backslash costs one pass and one copy.
ZEL_API std::string printable(const char* text, size_t size, bool keep_final_newline = false);
inline std::string printable(const std::string& text) { return printable(text.data(), text.size()); }

}  // namespace zel

#endif
