#include "cli/escape.h"

#include "common/zel_common.h"

namespace tqr {

std::string escaped(const std::string& text) { return zel::printable(text); }

}  // namespace tqr
