// The TQR_* settings as `tqr` checks them before any command starts. The library reads each setting
// with its own forgiving rule (a word it cannot read becomes its default); a person who typed
// TQR_COORDINATOR_PORT=abc wants to hear so instead, before the first connection goes the wrong way.
#ifndef ZEL_TOOLS_TQR_CLI_SETTINGS_CHECK_H
#define ZEL_TOOLS_TQR_CLI_SETTINGS_CHECK_H

#include <string>

namespace tqr {

// true when every TQR_* setting of the environment that is set is a whole number in its range, and
// there is room for the lent ports above the coordinator port; otherwise false with `error` naming the
// setting and its range. Reads only the environment; any thread, before the library read its settings.
bool check_settings(std::string* error);

}  // namespace tqr

#endif
