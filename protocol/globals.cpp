// The library's process-wide objects, defined in one translation unit so that they are built in this
// order at load time and destroyed in the reverse order at unload: the deadline thread stops first,
// before anything its actions reach goes.
#include "common/logmsg.h"
#include "protocol/activelist.h"
#include "protocol/caller.h"
#include "protocol/deadlines.h"
#include "protocol/party_registry.h"
#include "protocol/portmanager.h"

std::ofstream g_logmsg;
// Never destroyed: work on the library's pools may still look a party up while the process ends.
PartyRegistry& g_parties = *new PartyRegistry;
Activelist g_activelist;
Portmanager g_portmanager;
Deadlines g_deadlines;

std::atomic<BridgeCallback> g_bridge{nullptr};

std::mutex& zel::logmsg_mutex() {
    static std::mutex mutex;
    return mutex;
}
