#include "protocol/conference.h"

#include <sys/time.h>

#include <algorithm>
#include <cerrno>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/live_callers.h"
#include "protocol/lock.h"
#include "protocol/messages.h"
#include "protocol/phrase.h"

Conference::Conference(Caller* caller, const std::string& confid) : m_sender(nullptr), m_announce(0) {
    pthread_cond_init(&m_io_conditional, nullptr);
    pthread_mutex_init(&m_io_mutex, nullptr);
    pthread_mutex_init(&m_list_mutex, nullptr);
    {
        zel::MutexGuard guard(m_list_mutex);
        m_has_sender = false;
    }
    m_confid = confid;
    addcaller(caller, confid);
    if (pthread_create(&m_thread, nullptr, s_conferencethread, this) != 0) m_joined = true;  // no thread to stop
}

Conference::~Conference() {
    stop();
    pthread_cond_destroy(&m_io_conditional);
    pthread_mutex_destroy(&m_io_mutex);
    pthread_mutex_destroy(&m_list_mutex);
}

bool Conference::addcaller(Caller* caller, const std::string& confid) {
    zel::MutexGuard guard(m_list_mutex);
    if (caller->m_type != ROLE_SENDER) {
        m_receivers.push_back(caller);
        return true;
    }
    if (!m_has_sender) {
        m_has_sender = true;
        m_sender = caller;
        return true;
    }
    zel::logline("attempt to add second sender to conference ", confid, " ignored");
    return false;
}

bool Conference::dropreceiver(Caller* caller) {
    zel::MutexGuard guard(m_list_mutex);
    m_receivers.remove(caller);
    zel_inform(stderr, "dropping disconnecting receiver from list of receivers\n");
    return !m_has_sender && m_receivers.empty();
}

void Conference::signal() {
    zel::MutexGuard guard(m_io_mutex);
    zel::logline("signalling conference thread!\n");
    // Remembered for a thread that is busy with a pass, so that its next pass starts at once. Counted,
    // not merged: a pass nominates one receiver, so a burst of joins needs as many passes.
    ++m_pending;
    pthread_cond_signal(&m_io_conditional);
}

void* Conference::s_conferencethread(void* conference) {
    static_cast<Conference*>(conference)->conferencethread();
    return nullptr;
}

void Conference::conferencethread() {
    if (m_announce) {
        zel::logline("Conference thread here!\n");
        zel_inform(stderr, "Conference thread here!\n");
        m_announce = 0;
    }
    for (;;) {
        {
            zel::MutexGuard io(m_io_mutex);
            if (!m_pending && !m_stop) {
                timeval now{};
                gettimeofday(&now, nullptr);
                long micros = now.tv_usec + 1000000;
                timespec deadline{};
                deadline.tv_sec = now.tv_sec + micros / 1000000;
                deadline.tv_nsec = (micros % 1000000) * 1000;
                // With nothing to nominate the thread sleeps until signalled: every change that can
                // give it work (a member joining) signals, and signals are counted, never lost. An
                // idle coordinator with thousands of conferences then costs no wake-ups at all.
                int waited = m_work_left ? pthread_cond_timedwait(&m_io_conditional, &m_io_mutex, &deadline)
                                         : pthread_cond_wait(&m_io_conditional, &m_io_mutex);
                if (waited == EINTR) {
                    zel::logline("Conference OS signal code ", waited);
                } else if (waited != ETIMEDOUT && !m_stop) {
                    zel::logline("Conference io_conditional signalled. ", "message: ",
                                 m_pending ? "member joined " : "spurious wake-up ", "has_sender = ", m_has_sender_seen);
                }
            }
            if (m_stop) return;
            if (m_pending > 0) --m_pending;
        }

        // The nomination is sent without the conference's locks, so that a sender that reads slowly
        // stalls neither the registry nor members joining or leaving. The nominated receiver is held
        // (it cannot be destroyed until the send is done); the sender cannot be, since its leaving
        // stops this thread first.
        Caller* receiver = nullptr;
        Caller* sender = nullptr;
        {
            zel::MutexGuard list(m_list_mutex);
            m_has_sender_seen = m_has_sender;
            if (!m_closed && m_has_sender && !m_receivers.empty()) {
                zel::logline("sender exists and receiver pending ");
                receiver = m_receivers.front();
                m_receivers.pop_front();
                sender = m_sender;
            }
            m_work_left = !m_closed && m_has_sender && !m_receivers.empty();
        }
        if (receiver == nullptr) continue;
        HeldCaller held(receiver, ROLE_ENDSTATION, m_confid);
        if (held.get()) sender->send_message(MSG_NOMINATE, receiver, nullptr);
        zel::logline("nominating caller ");
    }
}

void Conference::close() {
    zel::MutexGuard guard(m_list_mutex);
    m_closed = true;
}

void Conference::stop() {
    {
        zel::MutexGuard guard(m_io_mutex);
        if (m_joined) return;
        m_stop = true;
        pthread_cond_signal(&m_io_conditional);
    }
    pthread_join(m_thread, nullptr);
    zel::MutexGuard guard(m_io_mutex);
    m_joined = true;
}

size_t Conference::waiting() {
    zel::MutexGuard guard(m_list_mutex);
    return m_receivers.size();
}
