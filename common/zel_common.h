// Settings and diagnostic lines: the process-wide services that the protocol library takes from its
// sibling library. This is a small stand-in with the same calls.
//
// Thread safety: every function may be called from any thread at any time.
#ifndef ZEL_COMMON_ZEL_COMMON_H
#define ZEL_COMMON_ZEL_COMMON_H

#include <cstdio>

// Writes one printf-style line to `stream`. The line is formatted first and then written with a single
// call under a process-wide lock, so lines from several threads never interleave. Returns the number of
// bytes written, 0 while quiet, negative on a formatting error.
int zel_inform(FILE* stream, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Registers `value` as the default of setting `name`, used while the environment does not set it.
// Returns 0. A later call for the same name replaces the earlier default.
int zel_env_set_default(const char* name, const char* value);

// The setting `name` as an int: the environment's value if it is set, else the registered default,
// else 0. A value that does not start with a number reads as 0 (as atoi does).
int zel_env_get_int(const char* name);

// Silences (non-zero) or restores (0) every later zel_inform line. Off at start. Cheap to test, so a
// quiet process does not even format its lines.
void zel_set_quiet(int quiet);
int zel_quiet();

#endif
