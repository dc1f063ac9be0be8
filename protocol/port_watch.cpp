#include "protocol/port_watch.h"

#include <algorithm>

#include "common/zel_common.h"
#include "protocol/clock.h"

void PortWatch::round(double until, bool accepting) {
    accepting = accepting && m_candidates.size() < kMaxCandidates;
    pollfd fds[kMaxCandidates + 2];
    int count = 0;
    fds[count++] = {m_waker.fd(), POLLIN, 0};
    if (accepting) fds[count++] = {m_listening.m_sock, POLLIN, 0};
    for (const Candidate& c : m_candidates) {
        fds[count++] = {c.link->fd(), POLLIN, 0};
        until = std::min(until, c.deadline);
    }
    double left = until - zel::now();
    zel::net::poll_fds(fds, count, left > 0 ? static_cast<int>(left * 1000.0) + 1 : 0);
    if (fds[0].revents != 0) m_waker.clear();
    m_peer_waiting = accepting && fds[1].revents != 0;
    for (size_t i = 0, at = accepting ? 2 : 1; i < m_candidates.size(); ++i, ++at) {
        Candidate& c = m_candidates[i];
        if (fds[at].revents != 0 && !c.complete) c.complete = c.frame.take(c.link->recv(c.frame.space(), c.frame.room()));
    }
    judge();
    if (m_winner == nullptr && m_peer_waiting) take_in();
}

void PortWatch::judge() {
    double now = zel::now();
    for (auto c = m_candidates.begin(); c != m_candidates.end();) {
        if (!c->complete && now < c->deadline) {
            ++c;
            continue;
        }
        if (!c->complete) c->frame.take(-1);
        if (m_winner == nullptr && zel::judge_key_frame(m_key, true, c->frame.frame(), c->frame.count())) {
            m_winner = std::move(c->link);
        } else {
            m_refused.push_back(std::move(c->link));
        }
        c = m_candidates.erase(c);
    }
}

void PortWatch::take_in() {
    // One peer a round: the next round's poll says whether another waits, where a second accept would
    // mostly find the backlog empty, and an empty accept costs more than the poll does.
    Connection::Peer peer;
    int fd = m_listening.accept_waiting(&peer);
    if (fd == 0) return;
    zel_inform(stderr, "accept of receiver=%d \n", fd);
    m_listening.release();
    Candidate c{std::make_unique<Connection>(fd), zel::KeyFrameReader(m_key.size()), zel::now() + m_timeout, false};
    c.link->remember_peer(peer);
    zel_inform(stderr, "comparing keys %s\n", m_key.c_str());
    c.link->send(m_frame.data(), static_cast<int>(m_frame.size()));
    m_candidates.push_back(std::move(c));
}

std::vector<std::unique_ptr<Connection>> PortWatch::take_refused(bool all) {
    if (all) {
        for (Candidate& c : m_candidates) m_refused.push_back(std::move(c.link));
        m_candidates.clear();
    }
    std::vector<std::unique_ptr<Connection>> refused;
    refused.swap(m_refused);
    return refused;
}
