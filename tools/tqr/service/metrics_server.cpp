#include "service/metrics.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "net/socket.h"
#include "protocol/coordinator_host.h"
#include "protocol/portmanager.h"
#include "service/status.h"

namespace tqr {

namespace {

using Clock = std::chrono::steady_clock;

// Why a client was ended for a bound, as its metrics_refused line says: no slot was free for it, its
// request (or the taking of its answer) outlasted the deadline, its header outgrew the cap, or it
// declared a body.
enum Refusal { REFUSED_FULL, REFUSED_SLOW, REFUSED_HEADERS, REFUSED_BODY, kRefusals };
const char* const kRefusalNames[kRefusals] = {"full", "slow", "headers", "body"};

// The answer must be taken within kAnswerSeconds. What a client still sends after its request is read
// and thrown away, for at most kLingerSeconds and kLingerBytes, before the close: closing on unread
// bytes would reset the connection, and a reset can overtake the answer on its way.
constexpr int kAnswerSeconds = 2;
constexpr int kLingerSeconds = 1;
constexpr size_t kLingerBytes = 64 * 1024;
// Connections taken from the backlog before the open ones are served again.
constexpr int kAcceptsPerRound = 64;
constexpr int kBacklog = 64;

std::string answer(int code, const char* reason, const std::string& body, const char* type, bool head,
                   const char* extra = "") {
    std::string text = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\nContent-Type: " + type +
                       "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
                       "Connection: close\r\n\r\n";
    if (!head) text += body;
    return text;
}

std::string error_answer(int code, const char* reason, bool head, const char* extra = "") {
    return answer(code, reason, std::string(reason) + "\n", "text/plain; charset=utf-8", head, extra);
}

bool same_name(const std::string& name, const char* lower) {
    if (name.size() != strlen(lower)) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (tolower(static_cast<unsigned char>(name[i])) != lower[i]) return false;
    return true;
}

// Where the header of `in` ends: the length of its request line and header lines, each with its line
// end, or npos while the blank line that ends them has not come.
size_t header_length(const std::string& in) {
    size_t crlf = in.find("\n\r\n"), lf = in.find("\n\n");
    size_t at = std::min(crlf, lf);
    return at == std::string::npos ? at : at + 1;
}

// The answer to the request whose header is `head`; `refusal` is set when it broke a bound.
std::string respond(const std::string& head, const Metrics& metrics, const zel::CoordinatorHost& server, int* refusal) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < head.size();) {
        size_t end = head.find('\n', at);
        lines.push_back(head.substr(at, end - at));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        at = end + 1;
    }
    const std::string& request = lines[0];
    size_t first = request.find(' ');
    size_t second = first == std::string::npos ? first : request.find(' ', first + 1);
    if (second == std::string::npos || second == first + 1 || first == 0 ||
        request.find(' ', second + 1) != std::string::npos || request.compare(second + 1, 7, "HTTP/1.") != 0 ||
        request.size() != second + 9 || !isdigit(static_cast<unsigned char>(request.back())))
        return error_answer(400, "Bad Request", false);
    std::string method = request.substr(0, first), target = request.substr(first + 1, second - first - 1);
    bool head_only = method == "HEAD";
    bool has_body = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t colon = lines[i].find(':');
        if (colon == 0 || colon == std::string::npos) return error_answer(400, "Bad Request", head_only);
        std::string name = lines[i].substr(0, colon);
        size_t from = lines[i].find_first_not_of(" \t", colon + 1);
        std::string value = from == std::string::npos ? "" : lines[i].substr(from, lines[i].find_last_not_of(" \t") + 1 - from);
        // A body of a length not declared may be of any length.
        if (same_name(name, "transfer-encoding")) has_body = true;
        if (!same_name(name, "content-length")) continue;
        if (value.empty() || value.find_first_not_of("0123456789") != std::string::npos)
            return error_answer(400, "Bad Request", head_only);
        if (value.size() > 9 || strtoul(value.c_str(), nullptr, 10) > MetricsServer::kBodyBytes) has_body = true;
    }
    if (has_body) {
        *refusal = REFUSED_BODY;
        return error_answer(413, "Content Too Large", head_only);
    }
    if (method != "GET" && !head_only) return error_answer(405, "Method Not Allowed", false, "Allow: GET, HEAD\r\n");
    std::string path = target.substr(0, target.find('?'));
    if (path == "/metrics")
        return answer(200, "OK", metrics.exposition(server), "text/plain; version=0.0.4; charset=utf-8", head_only);
    if (path == "/healthz") return answer(200, "OK", "ok\n", "text/plain; charset=utf-8", head_only);
    return error_answer(404, "Not Found", head_only);
}

// The address a peer connected from, without its port: what kMaxPerSource counts.
std::string source_of(const sockaddr_storage& peer) {
    if (peer.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(peer);
        return std::string(reinterpret_cast<const char*>(&v4.sin_addr), sizeof v4.sin_addr);
    }
    if (peer.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(peer);
        return std::string(reinterpret_cast<const char*>(&v6.sin6_addr), sizeof v6.sin6_addr);
    }
    return "";
}

// One client's connection, owned by the serving thread: its request is read, then its answer
// written, then what it still sends is thrown away until it leaves or its time is up.
struct Connection {
    enum State { Reading, Writing, Lingering };
    int fd = -1;
    std::string source;
    State state = Reading;
    Clock::time_point deadline;
    std::string in;  // at most MetricsServer::kHeaderBytes
    std::string out;
    size_t sent = 0;
    size_t discarded = 0;
};

void start_answer(Connection& connection, std::string text, Clock::time_point now) {
    connection.out = std::move(text);
    connection.in = std::string();
    connection.state = Connection::Writing;
    connection.deadline = now + std::chrono::seconds(kAnswerSeconds);
}

// Moves `connection` on as far as its socket allows without waiting; false once it is to be closed.
// Each call tries its socket whether or not the poll named it: the socket never blocks, and a step
// may change what it waits for.
bool step(Connection& connection, Clock::time_point now, const Metrics& metrics, const zel::CoordinatorHost& server,
          long* refused) {
    char buffer[MetricsServer::kHeaderBytes];
    if (connection.state == Connection::Reading) {
        long got = net::recv_bytes(connection.fd, buffer, MetricsServer::kHeaderBytes - connection.in.size(), true);
        if (got == 0 || got == -1) return false;
        if (got > 0) connection.in.append(buffer, static_cast<size_t>(got));
        size_t length = header_length(connection.in);
        int refusal = -1;
        if (length != std::string::npos) {
            std::string text = respond(connection.in.substr(0, length), metrics, server, &refusal);
            start_answer(connection, std::move(text), now);
        } else if (connection.in.size() >= MetricsServer::kHeaderBytes) {
            refusal = REFUSED_HEADERS;
            start_answer(connection, error_answer(431, "Request Header Fields Too Large", false), now);
        } else if (now >= connection.deadline) {
            refusal = REFUSED_SLOW;
            start_answer(connection, error_answer(408, "Request Timeout", false), now);
        }
        if (refusal >= 0) ++refused[refusal];
        if (connection.state == Connection::Reading) return true;
    }
    if (connection.state == Connection::Writing) {
        long put = net::send_bytes(connection.fd, connection.out.data() + connection.sent,
                                   connection.out.size() - connection.sent, true);
        if (put == -1) return false;
        if (put > 0) connection.sent += static_cast<size_t>(put);
        if (connection.sent < connection.out.size()) {
            if (now < connection.deadline) return true;
            ++refused[REFUSED_SLOW];
            return false;
        }
        net::end_writing(connection.fd);
        connection.out = std::string();
        connection.state = Connection::Lingering;
        connection.deadline = now + std::chrono::seconds(kLingerSeconds);
    }
    long got = net::recv_bytes(connection.fd, buffer, sizeof buffer, true);
    if (got == 0 || got == -1) return false;
    if (got > 0) connection.discarded += static_cast<size_t>(got);
    return connection.discarded < kLingerBytes && now < connection.deadline;
}

}  // namespace


// The endpoint is a server of its own rather than the packaged HTTP library's: that library (0.11 in
// Debian 12) accepts every connection into an unbounded queue, so a crowd of idle connections takes
// the process's descriptors; its read limit applies to each read, so a client that drips a byte within
// it holds the answering thread for ever; and it keeps every header line, with no cap on their count.
// None of that can be bounded from outside it, and the two paths it served need little: one thread
// that polls at most kMaxConnections connections, each with a deadline.
MetricsServer::MetricsServer(const Metrics& metrics, const zel::CoordinatorHost& server)
    : m_metrics(metrics), m_server(server) {}

MetricsServer::~MetricsServer() {
    stop();
    if (m_listen >= 0) close(m_listen);
    if (m_reserve >= 0) close(m_reserve);
}

bool MetricsServer::bind(const std::string& address, std::string* error) {
    size_t colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    const char* digits = colon == std::string::npos ? "" : address.c_str() + colon + 1;
    char* end = nullptr;
    long port = strtol(digits, &end, 10);
    if (host.empty() || *digits < '0' || *digits > '9' || *end != '\0' || port < 1 || port > 65535) {
        *error = "metrics address " + address + " is not HOST:PORT";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), digits, &hints, &found) == 0) {
        for (addrinfo* at = found; at != nullptr && m_listen < 0; at = at->ai_next) {
            // Not SO_REUSEPORT, with which a second coordinator would share the port and answer every
            // other scrape; SO_REUSEADDR only, for a restart over connections in TIME_WAIT.
            m_listen = net::listen_on(*at, kBacklog);
        }
        freeaddrinfo(found);
    }
    if (m_listen < 0) {
        *error = "cannot serve metrics on " + address;
        return false;
    }
    m_reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

bool MetricsServer::serve() {
    m_stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_stop < 0) return false;
    m_thread = std::thread(s_serve, this);
    return true;
}

void MetricsServer::stop() {
    if (!m_thread.joinable()) return;
    const uint64_t one = 1;
    // Never fails for want of room: the counter is read once, by the thread that ends on it.
    if (write(m_stop, &one, sizeof one) < 0) perror("tqr coordinator: metrics");
    m_thread.join();
    close(m_stop);
    m_stop = -1;
}

void MetricsServer::s_serve(MetricsServer* self) {
    std::vector<Connection> connections;  // at most kMaxConnections
    std::vector<pollfd> polled;
    long refused[kRefusals] = {}, told[kRefusals] = {};
    Clock::time_point next_tell = Clock::now();
    // Out of descriptors with no reserve to shed a connection with: the listening socket is left out
    // of the poll until one of ours closes, or a second passes when none is open.
    bool accepting = true;
    Clock::time_point accept_again = Clock::time_point::max();
    for (;;) {
        Clock::time_point now = Clock::now();
        bool pending = !std::equal(refused, refused + kRefusals, told);
        if (pending && now >= next_tell) {
            for (int i = 0; i < kRefusals; ++i) {
                if (refused[i] == told[i]) continue;
                write_status("metrics_refused", {{"reason", kRefusalNames[i]}, {"count", std::to_string(refused[i] - told[i])}});
                told[i] = refused[i];
            }
            next_tell = now + std::chrono::seconds(1);
            pending = false;
        }
        if (!accepting && (now >= accept_again || self->m_reserve >= 0)) accepting = true;
        Clock::time_point wake = pending ? next_tell : Clock::time_point::max();
        if (!accepting) wake = std::min(wake, accept_again);
        polled.assign(1, pollfd{accepting ? self->m_listen : -1, POLLIN, 0});
        polled.push_back(pollfd{self->m_stop, POLLIN, 0});
        for (const Connection& connection : connections) {
            polled.push_back(pollfd{connection.fd, static_cast<short>(connection.state == Connection::Writing ? POLLOUT : POLLIN), 0});
            wake = std::min(wake, connection.deadline);
        }
        int timeout = -1;
        if (wake != Clock::time_point::max())
            timeout = static_cast<int>(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1));
        net::wait_any(polled.data(), polled.size(), timeout);
        if ((polled[1].revents & POLLIN) != 0) {
            for (const Connection& connection : connections) close(connection.fd);
            return;
        }
        now = Clock::now();
        for (size_t i = 0; i < connections.size();) {
            if (step(connections[i], now, self->m_metrics, self->m_server, refused)) {
                ++i;
                continue;
            }
            close(connections[i].fd);
            connections.erase(connections.begin() + static_cast<long>(i));
            accepting = true;
        }
        if (self->m_reserve < 0) self->m_reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (!accepting || (polled[0].revents & POLLIN) == 0) continue;
        for (int i = 0; i < kAcceptsPerRound; ++i) {
            sockaddr_storage peer{};
            int fd = net::accept_client(self->m_listen, &peer);
            if (fd == net::kOutOfDescriptors) {
                ++refused[REFUSED_FULL];
                if (self->m_reserve < 0) {
                    accepting = false;
                    accept_again = connections.empty() ? now + std::chrono::seconds(1) : Clock::time_point::max();
                    break;
                }
                close(self->m_reserve);
                net::shed_client(self->m_listen);
                self->m_reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
                continue;
            }
            if (fd < 0) break;  // none waiting, or one that left before it was taken
            std::string source = source_of(peer);
            long from_source = std::count_if(connections.begin(), connections.end(),
                                             [&](const Connection& c) { return c.source == source; });
            // Full: the connection that has waited longest for its request makes room. A scrape sends
            // its request at once, so silent connections from any number of addresses are what goes,
            // and none can keep a scrape out for longer than it takes to connect and ask.
            if (connections.size() >= static_cast<size_t>(kMaxConnections) && from_source < kMaxPerSource) {
                auto oldest = std::find_if(connections.begin(), connections.end(),
                                           [](const Connection& c) { return c.state != Connection::Writing; });
                if (oldest != connections.end()) {
                    close(oldest->fd);
                    connections.erase(oldest);
                    ++refused[REFUSED_SLOW];
                }
            }
            if (connections.size() >= static_cast<size_t>(kMaxConnections) || from_source >= kMaxPerSource) {
                std::string text = error_answer(503, "Service Unavailable", false);
                net::send_bytes(fd, text.data(), text.size(), true);
                // No slot to linger in: what the request already holds is read away, so that the close
                // does not reset the connection under the answer.
                shutdown(fd, SHUT_WR);
                char unread[4096];
                for (size_t drained = 0; drained < kLingerBytes;) {
                    ssize_t n = recv(fd, unread, sizeof unread, MSG_DONTWAIT);
                    if (n <= 0) break;
                    drained += static_cast<size_t>(n);
                }
                close(fd);
                ++refused[REFUSED_FULL];
                continue;
            }
            Connection connection;
            connection.fd = fd;
            connection.source = std::move(source);
            connection.deadline = now + std::chrono::seconds(kRequestSeconds);
            connections.push_back(std::move(connection));
        }
    }
}

}  // namespace tqr
