// The machine's floor: the socket work of one rendezvous done without the library, so that the
// library's figures can be read against what the kernel and the scheduler cost by themselves.
//
// One rendezvous is: the endstation's TCP connect to the coordinator, the coordinator's greeting and
// the endstation's four handshake phrases, "Nominate ", "Approve ", "Listen ", a listening socket on a
// pool port, "Listening ", "Connect ", the endstation's TCP connect to that port, "Connected ", one key
// frame in each direction on the direct link (the moment both sides would call the bridge), then
// "Endstation Happy ", "Sender Happy ", "Adios " and the closes. The sender's link to the coordinator
// is made once, as a sender's is. Every text is NUL-terminated and sized like the library's.
//
// Two ways of doing it:
// - two threads: thread A holds the coordinator's ends and the sender's end of the direct link (the
//   sender's listener thread); thread B holds the endstation and the sender's coordinator link. Every
//   hop crosses from one thread to the other, so each hop costs exactly one thread wake-up, where the
//   library pays a reader wake-up plus a message-loop wake-up, and thread starts.
// - one thread: all sockets non-blocking, one thread doing every step in order, waiting with poll();
//   the pure syscall and TCP cost, with no wake-up at all.
//
// Latency: from the endstation's connect until both ends hold their key frame. Rate: whole rounds
// (through the closes) per second, one after another.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace zel_floor {

bool two_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds, std::vector<double>* latency_us,
                double* rounds_per_s, std::string* error);
bool one_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds, std::vector<double>* latency_us,
                double* rounds_per_s, std::string* error);
double percentile(std::vector<double> values, double fraction);

}  // namespace zel_floor

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kIoTimeoutMs = 5000;

int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Every socket as the library's client links are, and TCP_NODELAY on all of them: the floor is the
// best the machine does. Client ends close with a reset (SO_LINGER 0), as the library's do, so that
// no TIME_WAIT piles up on the ports.
void tune(int fd, bool client) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (client) {
        linger zero{};
        zero.l_onoff = 1;
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &zero, sizeof zero);
    }
    timeval limit{kIoTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

bool wait_fd(int fd, short events) {
    pollfd one{fd, events, 0};
    int n;
    do {
        n = poll(&one, 1, kIoTimeoutMs);
    } while (n < 0 && errno == EINTR);
    return n > 0;
}

int make_listener(int port, int backlog, bool nonblocking) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int connect_to(int port, bool nonblocking) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    tune(fd, true);
    return fd;
}

int accept_from(int listener, bool nonblocking) {
    if (nonblocking && !wait_fd(listener, POLLIN)) return -1;
    int fd;
    do {
        fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0));
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) tune(fd, false);
    return fd;
}

bool send_text(int fd, const std::string& text) {
    ssize_t n = send(fd, text.c_str(), text.size() + 1, MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(text.size() + 1);
}

// One end of a link that reads NUL-terminated texts.
struct Link {
    int fd;
    bool nonblocking;
    std::string pending;

    explicit Link(int socket = -1, bool nb = false) : fd(socket), nonblocking(nb) {}

    bool read(std::string* out = nullptr) {
        for (;;) {
            size_t nul = pending.find('\0');
            if (nul != std::string::npos) {
                if (out) out->assign(pending, 0, nul);
                pending.erase(0, nul + 1);
                return true;
            }
            if (nonblocking && !wait_fd(fd, POLLIN)) return false;
            char chunk[1024];
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                pending.append(chunk, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;
        }
    }
    // Reads until the peer has gone (end of stream or reset).
    void drain() {
        char chunk[256];
        for (;;) {
            if (nonblocking && !wait_fd(fd, POLLIN)) return;
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) continue;
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return;
        }
    }
    void close_now() {
        if (fd >= 0) close(fd);
        fd = -1;
        pending.clear();
    }
};

// The texts of one rendezvous, sized as the library's are.
struct Texts {
    std::string cookie;
    std::string key_sender;
    std::string key_endstation;

    Texts() {
        char text[32];
        snprintf(text, sizeof text, "%p", static_cast<void*>(this));
        cookie = text;
        key_sender = "s\xff" "c\xff" "e\xff";
        key_endstation = "\xffs\xff" "c\xff" "e";
    }
    std::string message(const char* name, const std::string& info) const { return name + cookie + " " + info; }
};

const char* const kHandshake[4] = {"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name e",
                                   "From Endstation join conf"};

}  // namespace

double zel_floor::percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    if (rank == 0) rank = 1;
    return values[std::min(rank, values.size()) - 1];
}

bool zel_floor::two_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds,
                           std::vector<double>* latency_us, double* rounds_per_s, std::string* error) {
    const int total = warmup + rounds;
    int listener = make_listener(coord_port, 128, false);
    if (listener < 0) {
        *error = "cannot listen on port " + std::to_string(coord_port);
        return false;
    }
    Texts texts;
    std::atomic<int> direct_listener{-1};
    std::atomic<int64_t> sender_bridged{0};
    std::atomic<bool> failed{false};
    latency_us->clear();

    // Thread A: the coordinator, and the sender's listener end of the direct link.
    std::thread coordinator([&] {
        Link cs(accept_from(listener, false));
        for (int r = 0; r < total && !failed.load(); ++r) {
            const std::string port = std::to_string(pool_base + r % pool_size);
            Link ce(accept_from(listener, false));
            bool ok = ce.fd >= 0 && send_text(ce.fd, "TQR Coordinator 1.2");
            for (int i = 0; i < 4 && ok; ++i) ok = ce.read();
            ok = ok && send_text(cs.fd, texts.message("Nominate ", "e")) && cs.read();
            ok = ok && send_text(cs.fd, texts.message("Listen ", port)) && cs.read();
            ok = ok && send_text(ce.fd, texts.message("Connect ", port));
            Link ds;
            if (ok) {
                int l = direct_listener.exchange(-1, std::memory_order_acquire);
                ds.fd = accept_from(l, false);
                close(l);
                ok = ds.fd >= 0 && send_text(ds.fd, texts.key_sender) && ds.read();
                sender_bridged.store(now_ns(), std::memory_order_release);
            }
            ok = ok && ce.read() && send_text(cs.fd, texts.message("Endstation Happy ", port));
            ok = ok && cs.read() && send_text(ce.fd, texts.message("Adios ", ""));
            ds.close_now();
            if (ok) ce.drain();
            ce.close_now();
            if (!ok) failed.store(true);
        }
        cs.close_now();
    });

    // Thread B: the endstation, and the sender's coordinator link.
    Link s(connect_to(coord_port, false));
    Clock::time_point started;
    for (int r = 0; r < total && !failed.load() && s.fd >= 0; ++r) {
        if (r == warmup) started = Clock::now();
        const int port_number = pool_base + r % pool_size;
        const std::string port = std::to_string(port_number);
        int64_t t0 = now_ns();
        Link e(connect_to(coord_port, false));
        bool ok = e.fd >= 0 && e.read();
        for (int i = 0; i < 4 && ok; ++i) ok = send_text(e.fd, kHandshake[i]);
        ok = ok && s.read() && send_text(s.fd, texts.message("Approve ", ""));
        ok = ok && s.read();
        if (ok) {
            int l = make_listener(port_number, 1, false);
            ok = l >= 0;
            direct_listener.store(l, std::memory_order_release);
        }
        ok = ok && send_text(s.fd, texts.message("Listening ", port));
        Link de;
        int64_t endstation_bridged = 0;
        if (ok && e.read()) {
            de.fd = connect_to(port_number, false);
            ok = de.fd >= 0 && send_text(e.fd, texts.message("Connected ", port)) &&
                 send_text(de.fd, texts.key_endstation) && de.read();
            endstation_bridged = now_ns();
        } else {
            ok = false;
        }
        ok = ok && s.read();  // "Endstation Happy ": the sender's key frame is in by now
        if (ok && r >= warmup) {
            int64_t done = std::max(endstation_bridged, sender_bridged.load(std::memory_order_acquire));
            latency_us->push_back(static_cast<double>(done - t0) / 1000.0);
        }
        ok = ok && send_text(s.fd, texts.message("Sender Happy ", port)) && e.read();
        e.close_now();
        de.close_now();
        if (!ok) {
            failed.store(true);
            break;
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    if (s.fd < 0) failed.store(true);
    // Unblocks the coordinator thread wherever it waits.
    shutdown(listener, SHUT_RDWR);
    s.close_now();
    coordinator.join();
    close(listener);
    if (int l = direct_listener.exchange(-1); l >= 0) close(l);
    if (failed.load()) {
        *error = "a round of the two-thread floor failed";
        return false;
    }
    *rounds_per_s = elapsed > 0 ? rounds / elapsed : 0.0;
    return true;
}

bool zel_floor::one_thread(int coord_port, int pool_base, int pool_size, int warmup, int rounds,
                           std::vector<double>* latency_us, double* rounds_per_s, std::string* error) {
    const int total = warmup + rounds;
    int listener = make_listener(coord_port, 128, true);
    if (listener < 0) {
        *error = "cannot listen on port " + std::to_string(coord_port);
        return false;
    }
    Texts texts;
    latency_us->clear();
    Link s(connect_to(coord_port, true), true);
    Link cs(accept_from(listener, true), true);
    bool ok = s.fd >= 0 && cs.fd >= 0 && wait_fd(s.fd, POLLOUT);
    Clock::time_point started = Clock::now();
    for (int r = 0; r < total && ok; ++r) {
        if (r == warmup) started = Clock::now();
        const int port_number = pool_base + r % pool_size;
        const std::string port = std::to_string(port_number);
        int64_t t0 = now_ns();
        Link e(connect_to(coord_port, true), true);
        Link ce(accept_from(listener, true), true);
        ok = e.fd >= 0 && ce.fd >= 0 && wait_fd(e.fd, POLLOUT);
        ok = ok && send_text(ce.fd, "TQR Coordinator 1.2") && e.read();
        for (int i = 0; i < 4 && ok; ++i) ok = send_text(e.fd, kHandshake[i]);
        for (int i = 0; i < 4 && ok; ++i) ok = ce.read();
        ok = ok && send_text(cs.fd, texts.message("Nominate ", "e")) && s.read();
        ok = ok && send_text(s.fd, texts.message("Approve ", "")) && cs.read();
        ok = ok && send_text(cs.fd, texts.message("Listen ", port)) && s.read();
        int l = ok ? make_listener(port_number, 1, true) : -1;
        ok = ok && l >= 0 && send_text(s.fd, texts.message("Listening ", port)) && cs.read();
        ok = ok && send_text(ce.fd, texts.message("Connect ", port)) && e.read();
        Link de(ok ? connect_to(port_number, true) : -1, true);
        Link ds(ok && de.fd >= 0 ? accept_from(l, true) : -1, true);
        if (l >= 0) close(l);
        ok = ok && de.fd >= 0 && ds.fd >= 0 && wait_fd(de.fd, POLLOUT);
        ok = ok && send_text(e.fd, texts.message("Connected ", port));
        ok = ok && send_text(de.fd, texts.key_endstation) && send_text(ds.fd, texts.key_sender);
        ok = ok && ds.read() && de.read();
        if (ok && r >= warmup) latency_us->push_back(static_cast<double>(now_ns() - t0) / 1000.0);
        ok = ok && ce.read() && send_text(cs.fd, texts.message("Endstation Happy ", port));
        ok = ok && s.read() && send_text(s.fd, texts.message("Sender Happy ", port));
        ok = ok && cs.read() && send_text(ce.fd, texts.message("Adios ", "")) && e.read();
        e.close_now();
        de.close_now();
        ds.close_now();
        if (ok) ce.drain();
        ce.close_now();
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    s.close_now();
    cs.close_now();
    close(listener);
    if (!ok) {
        *error = "a round of the one-thread floor failed";
        return false;
    }
    *rounds_per_s = elapsed > 0 ? rounds / elapsed : 0.0;
    return true;
}

#ifdef ZEL_FLOOR_MAIN

// Standalone: zel_bench_floor [rounds]. Ports: ZEL_FLOOR_PORT (default 28030) for the coordinator
// and the 20 ports above it for the pool.
int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 2000;
    if (rounds <= 0) rounds = 2000;
    const char* base = getenv("ZEL_FLOOR_PORT");
    int port = base ? atoi(base) : 28030;
    std::vector<double> samples;
    double rate = 0;
    std::string error;
    if (!zel_floor::two_thread(port, port + 1, 20, 100, rounds, &samples, &rate, &error)) {
        fprintf(stderr, "floor: %s\n", error.c_str());
        return 1;
    }
    printf("floor_two_thread_us=%.1f\n", zel_floor::percentile(samples, 0.5));
    printf("floor_two_thread_us_p99=%.1f\n", zel_floor::percentile(samples, 0.99));
    printf("floor_two_thread_per_s=%.0f\n", rate);
    if (!zel_floor::one_thread(port, port + 1, 20, 100, rounds, &samples, &rate, &error)) {
        fprintf(stderr, "floor: %s\n", error.c_str());
        return 1;
    }
    printf("floor_one_thread_us=%.1f\n", zel_floor::percentile(samples, 0.5));
    printf("floor_one_thread_us_p99=%.1f\n", zel_floor::percentile(samples, 0.99));
    printf("floor_one_thread_per_s=%.0f\n", rate);
    return 0;
}

#endif
