// How `tqr receive` asks for a code that was not on its command line.
#ifndef ZEL_TOOLS_TQR_PROMPT_H
#define ZEL_TOOLS_TQR_PROMPT_H

#include <string>

namespace tqr {

// When standard input is a terminal: a prompt on it, with the words completed on Tab (words.h). The
// code is shown as it is typed, as it was read out. Otherwise: the first line of standard input, so
// that a script can keep the code out of the process list. false when nothing came (the end of the
// input, ^C or ^D).
bool read_code(std::string* typed);

}  // namespace tqr

#endif
