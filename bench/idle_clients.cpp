// The second process of the idle phase: it holds the client ends of the idle parties, so that each
// costs the coordinator's process one descriptor and nothing of its own.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

#include "bench.h"

namespace bench {

namespace {

bool read_reply(int fd, int32_t* value, milliseconds limit) {
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return false;
    return read(fd, value, sizeof *value) == sizeof *value;
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool say(int fd, const std::string& text) {
    return send(fd, text.c_str(), text.size() + 1, MSG_NOSIGNAL) == static_cast<ssize_t>(text.size() + 1);
}

// Reads the coordinator's greeting, its one message before the handshake's end.
bool greeted(int fd) {
    std::string heard;
    pollfd ready{fd, POLLIN, 0};
    while (heard.find('\0') == std::string::npos) {
        char chunk[64];
        ssize_t n = poll(&ready, 1, static_cast<int>(harness::kStep.count())) == 1 ? recv(fd, chunk, sizeof chunk, 0) : -1;
        if (n <= 0) return false;
        heard.append(chunk, static_cast<size_t>(n));
    }
    return heard.compare(0, 16, "TQR Coordinator ") == 0;
}

// One idle party's client end: an endstation alone in conference `conference`, or -1. The socket is
// bound before it connects: the kernel then gives it a port of the half of its local range that it
// keeps for bind() (the odd ones), while connect() alone takes from the other half. Thousands of idle
// links to the one coordinator address in that half would make every later connect() search past
// them: a cost of this benchmark's single client address, not of the coordinator.
int idle_party(const std::string& conference) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopback(0), coordinator = loopback(harness::coordinator_port());
    // Closed with a reset when the child ends: thousands of links leave no TIME_WAIT behind.
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
              connect(fd, reinterpret_cast<sockaddr*>(&coordinator), sizeof coordinator) == 0 && greeted(fd) &&
              say(fd, "TQR Caller is Endstation") && say(fd, "TQR Endstation 1.2") && say(fd, "From Endstation name idle") &&
              say(fd, "From Endstation join " + conference);
    if (ok) return fd;
    close(fd);
    return -1;
}

// The child: opens the parties it is told to, one after another, answers how many got through, and
// holds them until its parent closes the command pipe (or dies).
[[noreturn]] void serve(int commands, int replies) {
    int32_t held = 0, wanted = 0;
    while (read(commands, &wanted, sizeof wanted) == sizeof wanted) {
        int32_t opened = 0;
        while (opened < wanted && idle_party("idle-" + std::to_string(held)) >= 0) {
            ++opened;
            ++held;
        }
        if (write(replies, &opened, sizeof opened) != sizeof opened) break;
    }
    _exit(0);
}

}  // namespace

bool IdleClients::start() {
    int commands[2], replies[2];
    if (pipe2(commands, O_CLOEXEC) != 0) return false;
    if (pipe2(replies, O_CLOEXEC) != 0) {
        close(commands[0]);
        close(commands[1]);
        return false;
    }
    const pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(0);
        close(commands[1]);
        close(replies[0]);
        serve(commands[0], replies[1]);
    }
    close(commands[0]);
    close(replies[1]);
    if (m_pid < 0) {
        close(commands[1]);
        close(replies[0]);
        return false;
    }
    m_commands = commands[1];
    m_replies = replies[0];
    m_pidfd = static_cast<int>(syscall(SYS_pidfd_open, m_pid, 0));
    return true;
}

int IdleClients::open(int count, milliseconds limit) {
    const int32_t wanted = count;
    int32_t opened = 0;
    if (m_commands < 0 || write(m_commands, &wanted, sizeof wanted) != sizeof wanted) return -1;
    return read_reply(m_replies, &opened, limit) ? opened : -1;
}

void IdleClients::stop() {
    if (m_pid <= 0) return;
    close(m_commands);
    m_commands = -1;
    // The child ends as soon as it reads the end of its command pipe; a child that does not is killed.
    pollfd ended{m_pidfd, POLLIN, 0};
    if (m_pidfd < 0 || poll(&ended, 1, 30000) <= 0) kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    if (m_pidfd >= 0) close(m_pidfd);
    close(m_replies);
    m_pid = m_pidfd = m_replies = -1;
}

}  // namespace bench
