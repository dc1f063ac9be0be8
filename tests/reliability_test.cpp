// `tqr coordinator` as a service: a real coordinator process (ZEL_TQR_PATH) on this test's ports, and
// raw parties in the test process that speak the handshake and the named messages by hand, so that
// each rendezvous can be held at any step. Covers the status lines on standard error, the drain on
// SIGTERM/SIGINT, a sender that never reads, and a flood of connections that never speak.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Outside ctest the same range as under it.
const bool g_ports_set = [] {
    setenv("TQR_COORDINATOR_PORT", "21400", 0);
    setenv("TQR_TOP_PORT", "21420", 0);
    setenv("ZEL_TEST_PORT_BASE", "21440", 0);
    return true;
}();

constexpr milliseconds kStep = seconds(10);

int pool_first() { return zel_test::coordinator_port() + 1; }
int pool_top() { return atoi(getenv("TQR_TOP_PORT")); }

class TempDir {
public:
    TempDir() {
        char path[] = "/tmp/reliability_test_XXXXXX";
        m_path = mkdtemp(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// `tqr coordinator ARGS` with EXTRA_ENV added to this process's environment; its standard error goes
// to a file in `dir`. Killed if still running when the object goes.
class CoordinatorProcess {
public:
    CoordinatorProcess(const TempDir& dir, const std::vector<std::string>& args,
                       const std::vector<std::string>& extra_env = {}) {
        static int serial = 0;
        m_err = dir.path() + "/coordinator." + std::to_string(++serial) + ".err";
        // Everything the child needs is made before fork: only async-signal-safe calls after it.
        std::vector<std::string> argv_text{ZEL_TQR_PATH, "coordinator"};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& text : argv_text) argv.push_back(&text[0]);
        argv.push_back(nullptr);
        std::vector<std::string> env_text;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string setting = *entry;
            std::string name = setting.substr(0, setting.find('=') + 1);
            bool replaced = std::any_of(extra_env.begin(), extra_env.end(),
                                        [&](const std::string& extra) { return extra.compare(0, name.size(), name) == 0; });
            if (!replaced) env_text.push_back(setting);
        }
        env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
        std::vector<char*> envp;
        for (std::string& text : env_text) envp.push_back(&text[0]);
        envp.push_back(nullptr);

        m_pid = fork();
        if (m_pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open("/dev/null", O_WRONLY);
            int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    ~CoordinatorProcess() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            reap(true);
        }
    }
    CoordinatorProcess(const CoordinatorProcess&) = delete;
    CoordinatorProcess& operator=(const CoordinatorProcess&) = delete;

    // Ready once it accepts a connection (which it then serves and releases like any other).
    bool ready();
    // The exit status (128 + signal when killed by one), or -1 when it did not end within `limit`.
    int wait(milliseconds limit = kStep) {
        zel_test::wait_until([&] { return reap(false); }, limit);
        return m_reaped ? m_status : -1;
    }
    bool running() { return !reap(false); }
    void signal(int number) {
        if (!m_reaped) kill(m_pid, number);
    }
    int stop_with(int number, milliseconds limit = kStep) {
        signal(number);
        return wait(limit);
    }
    pid_t pid() const { return m_pid; }
    std::string err() const { return read_file(m_err); }

private:
    bool reap(bool block) {
        if (m_reaped) return true;
        int status = 0;
        if (waitpid(m_pid, &status, block ? 0 : WNOHANG) != m_pid) return false;
        m_reaped = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    std::string m_err;
};

// A connected socket to 127.0.0.1:port, or -1.
int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool CoordinatorProcess::ready() {
    return zel_test::wait_until(
        [&] {
            if (!running()) return true;
            int fd = connect_to(zel_test::coordinator_port());
            if (fd < 0) return false;
            close(fd);
            return true;
        },
        kStep) &&
           running();
}

int descriptors_of(pid_t pid) {
    int count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        (void)entry;
        ++count;
    }
    return count;
}

// ---- Status lines, read back as a log tool would.

struct StatusLine {
    std::string event;
    std::map<std::string, std::string> fields;
    std::string text;
    std::string operator[](const std::string& key) const {
        auto found = fields.find(key);
        return found == fields.end() ? std::string("<absent>") : found->second;
    }
};

bool bare_char(char c) { return c > ' ' && c < 0x7f && c != '"' && c != '=' && c != '\\'; }

// Parses "event key=value ..." with bare or quoted values; false when the line is not of that form.
bool parse_status(const std::string& line, StatusLine* out) {
    *out = StatusLine();
    out->text = line;
    size_t at = line.find(' ');
    out->event = line.substr(0, at);
    if (out->event.empty() || !std::all_of(out->event.begin(), out->event.end(), [](char c) { return islower(c) || c == '_'; }))
        return false;
    while (at != std::string::npos && at < line.size()) {
        if (line[at] != ' ') return false;
        size_t equals = line.find('=', at + 1);
        if (equals == std::string::npos || equals == at + 1) return false;
        std::string key = line.substr(at + 1, equals - at - 1);
        if (!std::all_of(key.begin(), key.end(), [](char c) { return islower(c) || c == '_'; })) return false;
        size_t i = equals + 1;
        std::string value;
        if (i < line.size() && line[i] == '"') {
            for (++i;; ++i) {
                if (i >= line.size()) return false;
                char c = line[i];
                if (c == '"') break;
                if (c != '\\') {
                    value += c;
                    continue;
                }
                if (++i >= line.size()) return false;
                if (line[i] == '"' || line[i] == '\\') {
                    value += line[i];
                } else if (line[i] == 'x' && i + 2 < line.size() && isxdigit(static_cast<unsigned char>(line[i + 1])) &&
                           isxdigit(static_cast<unsigned char>(line[i + 2]))) {
                    value += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                    i += 2;
                } else {
                    return false;
                }
            }
            ++i;
        } else {
            while (i < line.size() && line[i] != ' ') {
                if (!bare_char(line[i])) return false;
                value += line[i++];
            }
            if (value.empty()) return false;
        }
        if (!out->fields.emplace(key, value).second) return false;
        at = i < line.size() ? i : std::string::npos;
    }
    return true;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

// The status lines of `event` in `text`; lines that are not in the status form are skipped.
std::vector<StatusLine> status_lines(const std::string& text, const std::string& event) {
    std::vector<StatusLine> found;
    for (const std::string& line : lines_of(text)) {
        StatusLine status;
        if (parse_status(line, &status) && status.event == event) found.push_back(status);
    }
    return found;
}

// ---- Raw parties.

// A party that speaks the protocol by hand over a loopback socket.
class RawParty {
public:
    RawParty() = default;
    ~RawParty() { hang_up(); }
    RawParty(const RawParty&) = delete;
    RawParty& operator=(const RawParty&) = delete;

    // With `small_window`, the smallest receive buffer and segments the system allows: a party that
    // does not read then holds back its peer's writes after a few kilobytes.
    bool connect_to(int port, bool small_window = false) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd < 0) return false;
        int on = 1;
        setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (small_window) {
            int smallest = 1;
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
            int segment = 536;
            setsockopt(m_fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    void say(const std::string& text) {
        std::string framed = text + '\0';
        ASSERT_EQ(send(m_fd, framed.data(), framed.size(), MSG_NOSIGNAL), static_cast<ssize_t>(framed.size())) << text;
    }
    // The next message, or "" when none comes within `limit` or the link ends.
    std::string hear(milliseconds limit = kStep) {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            size_t nul = m_pending.find('\0');
            if (nul != std::string::npos) {
                std::string message = m_pending.substr(0, nul);
                m_pending.erase(0, nul + 1);
                return message;
            }
            if (!read_some(until)) return std::string();
        }
    }
    DecodedMessage expect(const char* name) {
        std::string text = hear();
        DecodedMessage message;
        EXPECT_TRUE(text.compare(0, strlen(name), name) == 0) << "expected " << name << "got \"" << text << "\"";
        decode_message(text, &message);
        return message;
    }
    // Reads until the coordinator ends the link (true) or `limit` passes; counts the whole messages
    // that start with `name` on the way.
    bool read_to_end(milliseconds limit, const char* name, int* count) {
        auto until = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (size_t nul; (nul = m_pending.find('\0')) != std::string::npos; m_pending.erase(0, nul + 1))
                if (m_pending.compare(0, strlen(name), name) == 0) ++*count;
            if (m_ended) return true;
            if (!read_some(until) && !m_ended) return false;
        }
    }
    bool ended(milliseconds limit = kStep) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!m_ended) {
            if (!read_some(until) && !m_ended) return false;
        }
        return true;
    }
    void hang_up() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }
    int local_port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }

private:
    // false on time-out or at the end of the link (then m_ended).
    bool read_some(std::chrono::steady_clock::time_point until) {
        if (m_ended) return false;
        auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now());
        pollfd ready{m_fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[65536];
        ssize_t n = recv(m_fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            m_ended = true;
            return false;
        }
        m_pending.append(chunk, static_cast<size_t>(n));
        return true;
    }

    int m_fd = -1;
    bool m_ended = false;
    std::string m_pending;
};

std::string cookie_text(const void* cookie) {
    char text[32];
    snprintf(text, sizeof text, "%p", cookie);
    return text;
}

// Connects and walks the handshake as a sender of `conference`. A party that never reads skips the
// coordinator's first phrase (the coordinator does not wait for it to be read).
void join_as_sender(RawParty& party, const std::string& conference, bool reads = true, bool small_window = false) {
    ASSERT_TRUE(party.connect_to(zel_test::coordinator_port(), small_window));
    if (reads) party.expect("TQR Coordinator ");
    party.say("TQR Caller is Sender");
    party.say("TQR Sender 1.2");
    party.say("From Sender join " + conference);
}

void join_as_endstation(RawParty& party, const std::string& nickname, const std::string& conference,
                        bool reads = true) {
    ASSERT_TRUE(party.connect_to(zel_test::coordinator_port()));
    if (reads) party.expect("TQR Coordinator ");
    party.say("TQR Caller is Endstation");
    party.say("TQR Endstation 1.2");
    party.say("From Endstation name " + nickname);
    party.say("From Endstation join " + conference);
}

// One rendezvous walked by hand, from the nomination on.
struct Rendezvous {
    std::string endstation_cookie;  // as the sender hears it
    std::string sender_cookie;      // as the endstation hears it
    std::string port;
};

// The sender hears the nomination of `nickname`, approves it and is lent a port.
void approve(RawParty& sender, const std::string& nickname, Rendezvous* rendezvous) {
    DecodedMessage nominate = sender.expect("Nominate ");
    ASSERT_TRUE(nominate.has_cookie);
    ASSERT_EQ(nominate.info, nickname);
    rendezvous->endstation_cookie = cookie_text(nominate.cookie);
    sender.say("Approve " + rendezvous->endstation_cookie + " ");
    DecodedMessage listen = sender.expect("Listen ");
    ASSERT_EQ(cookie_text(listen.cookie), rendezvous->endstation_cookie);
    rendezvous->port = listen.info;
    ASSERT_GE(port_of(listen.info), pool_first());
    ASSERT_LE(port_of(listen.info), pool_top());
}

// The sender says it listens; the endstation is told where to connect.
void listening(RawParty& sender, RawParty& endstation, Rendezvous* rendezvous) {
    sender.say("Listening " + rendezvous->endstation_cookie + " " + rendezvous->port);
    DecodedMessage connect = endstation.expect("Connect ");
    ASSERT_TRUE(connect.has_cookie);
    ASSERT_EQ(connect.info, rendezvous->port);
    rendezvous->sender_cookie = cookie_text(connect.cookie);
}

// Both ends report the link up; the coordinator takes the port back and sends "Adios ". (The direct
// link itself is none of the coordinator's business: it only relays the reports.)
void linked(RawParty& sender, RawParty& endstation, Rendezvous* rendezvous) {
    endstation.say("Connected " + rendezvous->sender_cookie + " " + rendezvous->port);
    DecodedMessage happy = sender.expect("Endstation Happy ");
    ASSERT_EQ(cookie_text(happy.cookie), rendezvous->endstation_cookie);
    sender.say("Sender Happy " + rendezvous->endstation_cookie + " " + rendezvous->port);
    DecodedMessage adios = endstation.expect("Adios ");
    ASSERT_EQ(cookie_text(adios.cookie), rendezvous->endstation_cookie);
}

void whole_rendezvous(RawParty& sender, RawParty& endstation, const std::string& nickname, Rendezvous* rendezvous) {
    ASSERT_NO_FATAL_FAILURE(approve(sender, nickname, rendezvous));
    ASSERT_NO_FATAL_FAILURE(listening(sender, endstation, rendezvous));
    ASSERT_NO_FATAL_FAILURE(linked(sender, endstation, rendezvous));
}

// True when a thread of `pid` waits in a send of `min_bytes` to `max_bytes` (its stack unseen, the
// system call it is in tells: number, then the arguments; the third is the length).
bool sending_stalled(pid_t pid, unsigned long min_bytes, unsigned long max_bytes) {
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string line = read_file(task.path().string() + "/syscall");
        long number = -1;
        unsigned long fd = 0, buffer = 0, length = 0;
        if (sscanf(line.c_str(), "%ld %lx %lx %lx", &number, &fd, &buffer, &length) == 4 && number == SYS_sendto &&
            length >= min_bytes && length <= max_bytes)
            return true;
    }
    return false;
}

bool can_see_system_calls(pid_t pid) {
    return !read_file("/proc/" + std::to_string(pid) + "/syscall").empty();
}

// The TCP state (as /proc/net/tcp writes it: "01" established, "04" FIN-WAIT-1...) of the
// coordinator's end of its link with the party at local port `party_port`; "" when there is none.
std::string coordinator_end_state(int party_port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        unsigned local_port = 0, remote_port = 0;
        char state[8] = "";
        if (sscanf(line.c_str(), " %*d: %*8[0-9A-Fa-f]:%x %*8[0-9A-Fa-f]:%x %7s", &local_port, &remote_port, state) == 3 &&
            static_cast<int>(local_port) == zel_test::coordinator_port() && static_cast<int>(remote_port) == party_port)
            return state;
    }
    return std::string();
}

// ---- The cases.

// A rendezvous that completes and one whose endstation cannot reach its sender each give exactly one
// status line, with the conference, nickname and port, in a form that survives blanks, '=', quotes
// and line breaks in what parties send; a second sender gives a line too. The library's own lines
// stay hidden by default.
TEST(ReliabilityTest, EachRendezvousGivesOneStatusLine) {
    TempDir dir;
    CoordinatorProcess coordinator(dir, {});
    ASSERT_TRUE(coordinator.ready()) << coordinator.err();

    const std::string conference = "status one";
    const std::string nickname = "nick=1 \"x\"\\\nend";
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(sender, conference));
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(endstation, nickname, conference));
    Rendezvous first;
    ASSERT_NO_FATAL_FAILURE(whole_rendezvous(sender, endstation, nickname, &first));
    ASSERT_TRUE(zel_test::wait_until([&] { return !status_lines(coordinator.err(), "rendezvous").empty(); }, kStep))
        << coordinator.err();
    {
        std::vector<StatusLine> lines = status_lines(coordinator.err(), "rendezvous");
        ASSERT_EQ(lines.size(), 1u);
        const StatusLine& line = lines[0];
        EXPECT_EQ(line["conference"], conference);
        EXPECT_EQ(line["nickname"], nickname);
        EXPECT_EQ(line["port"], first.port);
        EXPECT_EQ(line["outcome"], "ok");
        EXPECT_GE(atof(line["ms"].c_str()), 0.0);
        EXPECT_EQ(line.fields.size(), 5u) << line.text;
        // Exactly as documented: the order of the fields, and how values are quoted.
        EXPECT_EQ(line.text.substr(0, line.text.find(" ms=")),
                  "rendezvous conference=\"status one\" nickname=\"nick=1 \\\"x\\\"\\\\\\x0aend\" port=" + first.port +
                      " outcome=ok");
    }

    // A second sender for the conference is turned away, and told of.
    RawParty second_sender;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(second_sender, conference));
    second_sender.expect("RejectedSender ");
    EXPECT_TRUE(zel_test::wait_until([&] { return !status_lines(coordinator.err(), "rejected_sender").empty(); }, kStep));

    // An endstation that cannot reach its sender.
    RawParty unlucky;
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(unlucky, "unlucky", conference));
    Rendezvous failed;
    ASSERT_NO_FATAL_FAILURE(approve(sender, "unlucky", &failed));
    ASSERT_NO_FATAL_FAILURE(listening(sender, unlucky, &failed));
    unlucky.say("Failed " + failed.sender_cookie + " ");
    ASSERT_TRUE(zel_test::wait_until([&] { return status_lines(coordinator.err(), "rendezvous").size() == 2; }, kStep))
        << coordinator.err();

    // Parties that leave after their rendezvous ended give no more lines.
    endstation.hang_up();
    unlucky.hang_up();
    second_sender.hang_up();
    sender.hang_up();
    EXPECT_EQ(coordinator.stop_with(SIGTERM), 0);
    std::string err = coordinator.err();
    std::vector<StatusLine> lines = status_lines(err, "rendezvous");
    ASSERT_EQ(lines.size(), 2u) << err;
    EXPECT_EQ(lines[1]["conference"], conference);
    EXPECT_EQ(lines[1]["nickname"], "unlucky");
    EXPECT_EQ(lines[1]["port"], failed.port);
    EXPECT_EQ(lines[1]["outcome"], "connect_failed");
    std::vector<StatusLine> rejected = status_lines(err, "rejected_sender");
    ASSERT_EQ(rejected.size(), 1u) << err;
    EXPECT_EQ(rejected[0]["conference"], conference);
    EXPECT_EQ(rejected[0]["peer"].compare(0, 10, "127.0.0.1:"), 0) << rejected[0].text;

    // Every line is a status line or a notice; the library said nothing of its own.
    for (const std::string& text : lines_of(err)) {
        StatusLine line;
        EXPECT_TRUE(parse_status(text, &line)) << "not a status line: " << text;
        EXPECT_TRUE(line.event == "rendezvous" || line.event == "rejected_sender" || line.event == "listening" ||
                    line.event == "stopping" || line.event == "stopped")
            << text;
    }
    EXPECT_EQ(status_lines(err, "listening").size(), 1u) << err;
    ASSERT_EQ(status_lines(err, "stopped").size(), 1u) << err;
    EXPECT_EQ(status_lines(err, "stopped")[0]["drained"], "yes");
}

// Default: notices and status lines. --quiet: status lines only. --verbose: the library's lines too.
TEST(ReliabilityTest, QuietHidesNoticesAndVerboseShowsTheLibrary) {
    TempDir dir;
    {
        CoordinatorProcess quiet(dir, {"--quiet"});
        ASSERT_TRUE(quiet.ready()) << quiet.err();
        EXPECT_EQ(quiet.stop_with(SIGTERM), 0);
        EXPECT_EQ(quiet.err(), "");
    }
    {
        CoordinatorProcess verbose(dir, {"--verbose"});
        ASSERT_TRUE(verbose.ready()) << verbose.err();
        // The readiness probe was a party: the library spoke of it.
        EXPECT_TRUE(zel_test::wait_until([&] { return verbose.err().find("caller fd constructor") != std::string::npos; }, kStep))
            << verbose.err();
        EXPECT_EQ(verbose.stop_with(SIGTERM), 0);
        EXPECT_EQ(status_lines(verbose.err(), "listening").size(), 1u);
    }
    CoordinatorProcess both(dir, {"--quiet", "--verbose"});
    EXPECT_EQ(both.wait(), 1);
}

// SIGTERM with a rendezvous under way (a port lent): the port closes at once, the rendezvous still
// completes, and the coordinator exits 0 as soon as it has, well before the drain time is up.
TEST(ReliabilityTest, SigtermLetsTheRendezvousUnderWayFinish) {
    TempDir dir;
    CoordinatorProcess coordinator(dir, {"--quiet"}, {"TQR_DRAIN_SECONDS=60"});
    ASSERT_TRUE(coordinator.ready()) << coordinator.err();
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(sender, "drain"));
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(endstation, "draining", "drain"));
    Rendezvous rendezvous;
    ASSERT_NO_FATAL_FAILURE(approve(sender, "draining", &rendezvous));

    coordinator.signal(SIGTERM);
    // A new party is refused by the system once the port is closed.
    EXPECT_TRUE(zel_test::wait_until(
        [] {
            int fd = connect_to(zel_test::coordinator_port());
            if (fd < 0) return true;
            close(fd);
            return false;
        },
        kStep));
    EXPECT_TRUE(coordinator.running());

    ASSERT_NO_FATAL_FAILURE(listening(sender, endstation, &rendezvous));
    ASSERT_NO_FATAL_FAILURE(linked(sender, endstation, &rendezvous));
    // Once no port is lent, the coordinator ends every link and leaves.
    EXPECT_EQ(coordinator.wait(seconds(30)), 0) << coordinator.err();
    EXPECT_TRUE(sender.ended());
    EXPECT_TRUE(endstation.ended());
    std::string err = coordinator.err();
    std::vector<StatusLine> lines = status_lines(err, "rendezvous");
    ASSERT_EQ(lines.size(), 1u) << err;
    EXPECT_EQ(lines[0]["outcome"], "ok");
    EXPECT_EQ(lines[0]["port"], rendezvous.port);
    EXPECT_EQ(lines[0]["nickname"], "draining");
}

// A rendezvous that does not finish within the drain time is cut: every link ends, the rendezvous is
// told as left, and the exit status is still 0. SIGINT works as SIGTERM does.
TEST(ReliabilityTest, DrainTimeCutsARendezvousThatDoesNotFinish) {
    TempDir dir;
    CoordinatorProcess coordinator(dir, {}, {"TQR_DRAIN_SECONDS=1"});
    ASSERT_TRUE(coordinator.ready()) << coordinator.err();
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(sender, "cut"));
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(endstation, "stuck", "cut"));
    Rendezvous rendezvous;
    ASSERT_NO_FATAL_FAILURE(approve(sender, "stuck", &rendezvous));

    EXPECT_EQ(coordinator.stop_with(SIGINT, seconds(30)), 0) << coordinator.err();
    EXPECT_TRUE(sender.ended());
    EXPECT_TRUE(endstation.ended());
    std::string err = coordinator.err();
    std::vector<StatusLine> lines = status_lines(err, "rendezvous");
    ASSERT_EQ(lines.size(), 1u) << err;
    EXPECT_TRUE(lines[0]["outcome"] == "sender_left" || lines[0]["outcome"] == "endstation_left") << lines[0].text;
    EXPECT_EQ(lines[0]["port"], rendezvous.port);
    std::vector<StatusLine> stopping = status_lines(err, "stopping");
    ASSERT_EQ(stopping.size(), 1u) << err;
    EXPECT_EQ(stopping[0]["signal"], "SIGINT");
    EXPECT_EQ(stopping[0]["rendezvous"], "1");
    std::vector<StatusLine> stopped = status_lines(err, "stopped");
    ASSERT_EQ(stopped.size(), 1u) << err;
    EXPECT_EQ(stopped[0]["drained"], "no");
    EXPECT_EQ(stopped[0]["rendezvous"], "1");
}

// A sender that never reads: each endstation that joins its conference is nominated to it, until its
// socket buffers are full and the nomination waits. Meanwhile another conference's rendezvous goes
// through, and after TQR_SEND_TIMEOUT the stalled sender is dropped, so its conference can have a
// sender again.
TEST(ReliabilityTest, SenderThatNeverReadsStallsOnlyItself) {
    TempDir dir;
    CoordinatorProcess coordinator(dir, {"--quiet"}, {"TQR_SEND_TIMEOUT=2"});
    ASSERT_TRUE(coordinator.ready()) << coordinator.err();
    pid_t pid = coordinator.pid();

    RawParty stalled;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(stalled, "stalled", false, true));
    // The coordinator's end of the stalled link: established until the coordinator drops the sender.
    auto stalled_link_up = [&] { return coordinator_end_state(stalled.local_port()) == "01"; };
    ASSERT_TRUE(stalled_link_up());
    // Long nicknames fill the buffers in few nominations ("Nominate ", cookie, blank, nickname, NUL):
    // a few dozen fit, so the nomination of one of these waits until the sender is dropped. (Sends
    // may also wait for a moment before that, while the kernel packs what it holds.)
    constexpr size_t kNickname = 900;
    constexpr int kWaiting = 200;
    std::vector<std::unique_ptr<RawParty>> waiting;
    for (int i = 0; i < kWaiting; ++i) {
        std::string nickname = "waiting-" + std::to_string(i);
        nickname.resize(kNickname, '.');
        waiting.emplace_back(new RawParty());
        ASSERT_NO_FATAL_FAILURE(join_as_endstation(*waiting.back(), nickname, "stalled", false));
    }
    // Seen from outside when the system lets this process read the coordinator's system calls.
    if (can_see_system_calls(pid)) {
        EXPECT_TRUE(zel_test::wait_until([&] { return sending_stalled(pid, kNickname + 12, kNickname + 40); }, kStep))
            << "no nomination waits";
    }

    // Another conference meets while the nomination waits, before the stalled sender is dropped.
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(sender, "moving"));
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(endstation, "mover", "moving"));
    Rendezvous rendezvous;
    ASSERT_NO_FATAL_FAILURE(whole_rendezvous(sender, endstation, "mover", &rendezvous));
    EXPECT_TRUE(stalled_link_up()) << "the other conference waited for the send time limit";

    // Dropped once the send time limit has passed (reading earlier would have let the nomination
    // through). What the coordinator had sent before can still be read, then the link ends; it is
    // less than one nomination per endstation.
    ASSERT_TRUE(zel_test::wait_until([&] { return !stalled_link_up(); }, seconds(30)));
    int nominations = 0;
    ASSERT_TRUE(stalled.read_to_end(kStep, "Nominate ", &nominations));
    EXPECT_GT(nominations, 0);
    EXPECT_LT(nominations, kWaiting);

    // The conference takes a sender again. The dropped sender's leave step erases its conference
    // just after its link ends; a sender that comes before that is turned away and tries again.
    std::vector<std::unique_ptr<RawParty>> tries;
    std::string heard;
    for (int attempt = 0; attempt < 20; ++attempt) {
        tries.emplace_back(new RawParty());
        RawParty& fresh = *tries.back();
        ASSERT_NO_FATAL_FAILURE(join_as_sender(fresh, "stalled"));
        tries.emplace_back(new RawParty());
        ASSERT_NO_FATAL_FAILURE(join_as_endstation(*tries.back(), "late", "stalled"));
        heard = fresh.hear();
        if (heard.compare(0, strlen("RejectedSender "), "RejectedSender ") != 0) break;
    }
    DecodedMessage nominate;
    ASSERT_TRUE(decode_message(heard, &nominate)) << heard;
    EXPECT_EQ(nominate.type, MSG_NOMINATE) << heard;
    EXPECT_EQ(nominate.info, "late");
    EXPECT_EQ(coordinator.stop_with(SIGTERM), 0);
}

// Raises this process's open-file limit to `wanted` (or the hard limit); the limit in force.
long raise_open_files(long wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur != RLIM_INFINITY && static_cast<long>(limit.rlim_cur) < wanted) {
        limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(limit.rlim_max, wanted);
        setrlimit(RLIMIT_NOFILE, &limit);
        getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<long>(limit.rlim_cur);
}

// 5,000 connections that never speak against TQR_MAX_PARTIES=1000: those beyond the limit are closed
// at once, the coordinator keeps serving the parties it has, and once the flood is gone new parties
// are served again.
TEST(ReliabilityTest, FloodOfSilentConnectionsIsRefusedBeyondMaxParties) {
    constexpr int kFlood = 5000;
    constexpr int kMaxParties = 1000;
    ASSERT_GE(raise_open_files(kFlood + 200), kFlood + 200) << "this test needs more open files";
    TempDir dir;
    CoordinatorProcess coordinator(dir, {"--quiet"}, {"TQR_MAX_PARTIES=" + std::to_string(kMaxParties)});
    ASSERT_TRUE(coordinator.ready()) << coordinator.err();
    pid_t pid = coordinator.pid();

    // A rendezvous whose parties are in before the flood.
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(sender, "before"));
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(endstation, "early", "before"));
    Rendezvous before;
    ASSERT_NO_FATAL_FAILURE(approve(sender, "early", &before));
    // Its readiness probe released: the coordinator holds the two parties only.
    int quiet_descriptors = descriptors_of(pid);

    std::vector<int> flood;
    flood.reserve(kFlood);
    int failed_connects = 0;
    for (int i = 0; i < kFlood; ++i) {
        int fd = connect_to(zel_test::coordinator_port());
        if (fd < 0) {
            ++failed_connects;
            continue;
        }
        flood.push_back(fd);
    }
    EXPECT_EQ(failed_connects, 0);

    // Each connection either is greeted (a party) or ends at once (refused).
    int greeted = 0, refused = 0;
    {
        std::vector<pollfd> open;
        for (int fd : flood) open.push_back(pollfd{fd, POLLIN, 0});
        auto until = std::chrono::steady_clock::now() + seconds(30);
        while (!open.empty() && std::chrono::steady_clock::now() < until) {
            if (poll(open.data(), open.size(), 100) <= 0) continue;
            std::vector<pollfd> still;
            for (const pollfd& entry : open) {
                if (entry.revents == 0) {
                    still.push_back(pollfd{entry.fd, POLLIN, 0});
                    continue;
                }
                char chunk[64];
                ssize_t n = recv(entry.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    ++greeted;
                } else if (n == 0 || errno == ECONNRESET) {
                    ++refused;
                } else {
                    still.push_back(pollfd{entry.fd, POLLIN, 0});
                }
            }
            open.swap(still);
        }
        EXPECT_TRUE(open.empty()) << open.size() << " connections neither greeted nor closed";
    }
    EXPECT_EQ(greeted + refused, static_cast<int>(flood.size()));
    // The two parties of the rendezvous count; the readiness probe may still have.
    EXPECT_LE(greeted, kMaxParties - 2);
    EXPECT_GE(greeted, kMaxParties - 3);

    // The rendezvous from before the flood completes while the flood holds the coordinator full.
    ASSERT_NO_FATAL_FAILURE(listening(sender, endstation, &before));
    ASSERT_NO_FATAL_FAILURE(linked(sender, endstation, &before));

    for (int fd : flood) close(fd);
    EXPECT_TRUE(zel_test::wait_until([&] { return descriptors_of(pid) <= quiet_descriptors; }, seconds(30)))
        << "the coordinator holds " << descriptors_of(pid) << " descriptors, " << quiet_descriptors << " before the flood";
    // Served at once again.
    RawParty after_sender, after_endstation;
    ASSERT_NO_FATAL_FAILURE(join_as_sender(after_sender, "after"));
    ASSERT_NO_FATAL_FAILURE(join_as_endstation(after_endstation, "late", "after"));
    Rendezvous after;
    ASSERT_NO_FATAL_FAILURE(whole_rendezvous(after_sender, after_endstation, "late", &after));

    EXPECT_EQ(coordinator.stop_with(SIGTERM), 0);
    // The refusals were told, in all.
    long told = 0;
    for (const StatusLine& line : status_lines(coordinator.err(), "refused")) {
        EXPECT_EQ(line["reason"], "max_parties");
        EXPECT_EQ(line["limit"], std::to_string(kMaxParties));
        told += atol(line["count"].c_str());
    }
    EXPECT_EQ(told, refused) << coordinator.err();
    EXPECT_EQ(status_lines(coordinator.err(), "rendezvous").size(), 2u);
}

}  // namespace
