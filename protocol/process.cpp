// The timed receive and the message loop: every party takes its named messages one at a time and
// hands each to the unit of its role.
#include <cstdio>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/endstation_link.h"
#include "protocol/host.h"
#include "protocol/messages.h"
#include "protocol/party_report.h"
#include "protocol/party_session.h"
#include "protocol/phrase.h"
#include "protocol/sender_links.h"
#include "protocol/socket_ops.h"

namespace {

constexpr double kLoopLimit = 1000000.0;

}  // namespace

int Caller::receive(std::string& out, double timeout) { return wait_message(out, timeout); }

int Caller::wait_message(std::string& out, double timeout) {
    zel_inform(stderr, "caller requesting lock for receive\n");
    AbsTime deadline;
    InboundQueue::PopResult got = m_loop_reads || m_self_reading ? read_until_message(&out, zel::now() + timeout)
                                                                : m_queue.pop(&out, deadline.after(timeout));
    switch (got) {
    case InboundQueue::POP_MESSAGE:
        zel_inform(stderr, "caller popped %s\n", out.c_str());
        zel::logline("caller popped  ", out);
        return 1;
    case InboundQueue::POP_TIMED_OUT:
        zel::logline("caller receive timed out  ", out);
        zel_error("caller timed out %s\n", out.c_str());
        return 0;
    case InboundQueue::POP_ENDED:
        // An ended link is no time-out worth an error line; the log still records it.
        zel::logline("caller receive timed out  ", out);
        return 0;
    }
    return 0;
}

int Caller::process() {
    LoopReading reading(*this, true);
    zel::net::set_receive_timeout(m_conn->fd(), kLoopLimit);
    m_blocking_reads = true;
    std::string text;
    zel::ProcessEnd end = zel::ProcessEnd::NOT_RUN;
    for (bool done = false; !done;) {
        if (wait_message(text, kLoopLimit) == 0) {
            end = m_closed_by_host.load() ? zel::ProcessEnd::CLOSED_BY_HOST
                  : link_ended()          ? zel::ProcessEnd::LINK_ENDED
                                          : zel::ProcessEnd::IDLE_LIMIT;
            break;
        }
        zel::logline("caller ", static_cast<const void*>(this), " type ", m_type, " msg length ", text.size(),
                     " received: ", text);
        DecodedMessage message;
        if (!decode_message(text, &message)) {
            if (m_session) m_session->ignore(-1, "no message name");
            continue;
        }
        zel_inform(stderr, "Phrase = %s\n", text.c_str());
        zel_inform(stderr, "cookie = %p\n", reinterpret_cast<void*>(message.cookie.value()));
        const char* info_at = message.has_info ? text.c_str() + (text.size() - message.info.size()) : nullptr;
        zel_inform(stderr, "info = %p\n", static_cast<const void*>(info_at));
        zel::logline("received msg ", message.type, " decoded as ", g_message_names[message.type]);
        done = dispatch(message);
        if (done) end = m_rejected.load() ? zel::ProcessEnd::REJECTED : zel::ProcessEnd::ADIOS;
    }
    m_blocking_reads = false;
    m_process_end.store(static_cast<int>(end));
    zel::logline("TQR: exiting process loop ");
    return 0;
}

bool Caller::dispatch(const DecodedMessage& message) {
    if (m_session) {
        m_session->handle(message);
        return false;
    }
    // A sender or an endstation acts only on what the coordinator sends to its role.
    switch (message.type) {
    case MSG_NOMINATE:
        if (is_sender()) links().on_nominate(message);
        return false;
    case MSG_LISTEN:
        if (is_sender()) links().on_listen(message);
        return false;
    case MSG_ENDSTATION_HAPPY:
        if (is_sender()) links().on_endstation_happy(message);
        return false;
    case MSG_CONNECT:
        if (m_type == ROLE_ENDSTATION) link().on_connect(message);
        return false;
    case MSG_ADIOS:
        if (m_type != ROLE_ENDSTATION) return false;
        link().on_adios();
        return true;
    case MSG_REJECTED_SENDER:
        on_rejected();
        return true;
    case MSG_NOTUSED:
        zel::logline("TQR: endmarker encountered while processing protocol ", MSG_NOTUSED);
        return false;
    default:
        return false;
    }
}

void Caller::on_rejected() {
    zel_error("TQR: Sender is rejected by coordinator\n");
    zel_error("TQR: Sender received msg %d\n", MSG_REJECTED_SENDER);
    zel_error("TQR: terminating\n");
    zel::logline("TQR: received msg ", MSG_REJECTED_SENDER, " sender rejected, sender will terminate ");
    // The host decides what a refusal means for its process; the library only reports it.
    m_rejected.store(true);
    if (zel::party_observed()) zel::report_party_event(own_event(zel::EVENT_REJECTED));
}
