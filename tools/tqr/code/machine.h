// Where this machine is for another one, and the command line that `tqr send` shows for it.
// Any thread.
#ifndef ZEL_TOOLS_TQR_CODE_MACHINE_H
#define ZEL_TOOLS_TQR_CODE_MACHINE_H

#include <string>

namespace tqr {

// How another machine reaches this one: the host name when it resolves to one of this machine's
// IPv4 addresses other than loopback, else the first of those addresses, else the host name.
std::string this_machine();
// Whether `host` resolves to loopback addresses only ("localhost", "127.0.0.1").
bool is_loopback(const std::string& host);

// `text` as the shell reads it: unchanged when it is plain, else in single quotes.
std::string shell_word(const std::string& text);

// The line that takes `code` from a coordinator at `host` on another machine, with the port setting
// in front when this process does not use the default port.
std::string receive_command(const std::string& host, const std::string& code);

}  // namespace tqr

#endif
