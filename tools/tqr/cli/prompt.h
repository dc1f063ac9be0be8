// How `tqr receive` asks for a code that was not on its command line.
#ifndef ZEL_TOOLS_TQR_CLI_PROMPT_H
#define ZEL_TOOLS_TQR_CLI_PROMPT_H

#include <string>

namespace tqr {

enum CodeRead { CODE_TYPED, CODE_NONE, CODE_INTERRUPTED };

// When standard input is a terminal: a prompt on it, with the words completed on Tab (words.h). The
// code is shown as it is typed, as it was read out. Otherwise: the first line of standard input, so
// that a script can keep the code out of the process list. CODE_NONE when nothing came (the end of
// the input, ^D), CODE_INTERRUPTED for ^C (the prompt sees it as a key, not as SIGINT).
CodeRead read_code(std::string* typed);

// For a process that ends while the prompt is up (SIGTERM), from any thread: the terminal as it was
// before, and the prompt's line ended, so that the last line stands on a line of its own. Every
// prompt, the one that is up and any later one, ends at once (wait_for_answer()).
void put_terminal_back();

// Waits until `fd`, where a prompt reads its answer, is readable: false when put_terminal_back() came
// first, and the prompt must end without an answer.
bool wait_for_answer(int fd);
// Whether put_terminal_back() came: the process is ending, and the thread that called it says how.
bool prompts_ended();

}  // namespace tqr

#endif
