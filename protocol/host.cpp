#include "protocol/host.h"

#include "protocol/clock.h"
#include "protocol/deadlines.h"
#include "protocol/endstation_link.h"
#include "protocol/threads.h"

// The host's calls reach the Caller's private state through this one friend.
struct zel::CallerAccess {
    static void set_bridge(Caller& caller, BridgeHandler handler, void* context) {
        caller.m_bridge_context = context;
        caller.m_bridge_handler = handler;
    }
    static bool bridged(const Caller& caller) { return caller.m_link && caller.m_link->bridged(); }
    static ProcessEnd ended(const Caller& caller) { return static_cast<ProcessEnd>(caller.m_process_end.load()); }
    static void close(Caller& caller) {
        caller.m_closed_by_host.store(true);
        caller.close_link();
    }
};

void zel::set_approval_policy(Caller& caller, ApprovalPolicy policy, void* context) {
    caller.set_approval_policy(policy, context);
}

void zel::set_bridge_handler(Caller& caller, BridgeHandler handler, void* context) {
    CallerAccess::set_bridge(caller, handler, context);
}

zel::ProcessEnd zel::process_result(const Caller& caller) { return CallerAccess::ended(caller); }

bool zel::bridged(const Caller& caller) { return CallerAccess::bridged(caller); }

bool zel::refused_within(Caller& caller, double seconds) {
    return caller.refused_within(bounded_seconds(seconds));
}

bool zel::wait_link_ended(Caller& caller, double seconds) {
    seconds = bounded_seconds(seconds);
    return seconds > 0 ? caller.wait_link_ended(seconds) : caller.link_ended();
}

void zel::close_link(Caller& caller) { CallerAccess::close(caller); }

void zel::shutdown() {
    // The deadline thread first: its actions hand work to the library's pool.
    g_deadlines.stop();
    library_threads().shutdown();
    host_threads().shutdown();
}
