// The library's process-wide objects, defined in one translation unit so that they are built in this
// order at load time and destroyed in the reverse order at unload.
#include "common/logmsg.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/live_callers.h"
#include "protocol/portmanager.h"

std::ofstream g_logmsg;
LiveCallers g_live_callers;
Activelist g_activelist;
Portmanager g_portmanager;

std::atomic<BridgeCallback> g_bridge{nullptr};

std::mutex& zel::logmsg_mutex() {
    static std::mutex mutex;
    return mutex;
}
