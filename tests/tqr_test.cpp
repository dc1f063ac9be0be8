// The `tqr` tool end to end: a real coordinator, senders and endstations, each its own process on
// loopback, with the ports of this test's range (TQR_COORDINATOR_PORT / TQR_TOP_PORT, inherited).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Outside ctest the same range as under it.
const bool g_ports_set = [] {
    setenv("TQR_COORDINATOR_PORT", "21200", 0);
    setenv("TQR_TOP_PORT", "21220", 0);
    setenv("ZEL_TEST_PORT_BASE", "21240", 0);
    return true;
}();

const milliseconds kStepLimit = seconds(30);

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char path[] = "/tmp/tqr_test_XXXXXX";
        m_path = mkdtemp(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string random_file(const std::string& path, size_t size, unsigned start) {
    std::mt19937 generator(start);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    std::ofstream(path, std::ios::binary) << bytes;
    return bytes;
}

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One run of the tool. Standard output and error go to files in `logs`; the child runs in `cwd`.
// A child still running when the object goes is killed.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& cwd, const std::string& logs,
          const std::vector<std::string>& extra_env = {}, const std::string& input = "/dev/null") {
        static int serial = 0;
        std::string tag = (args.empty() ? std::string("tqr") : args[0]) + "." + std::to_string(++serial);
        m_out = logs + "/" + tag + ".out";
        m_err = logs + "/" + tag + ".err";

        // Everything the child needs is made before fork: only async-signal-safe calls after it.
        std::vector<std::string> argv_text{ZEL_TQR_PATH};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& text : argv_text) argv.push_back(&text[0]);
        argv.push_back(nullptr);
        std::vector<std::string> env_text;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string setting = *entry;
            bool replaced = false;
            for (const std::string& extra : extra_env)
                replaced |= setting.compare(0, setting.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
            if (!replaced) env_text.push_back(setting);
        }
        env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
        std::vector<char*> envp;
        for (std::string& text : env_text) envp.push_back(&text[0]);
        envp.push_back(nullptr);

        m_pid = fork();
        if (m_pid == 0) {
            int in = open(input.c_str(), O_RDONLY);
            int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    ~Child() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            reap(true);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The exit status (128 + signal when killed by one), or -1 when it did not end within `limit`.
    int wait(milliseconds limit = kStepLimit) {
        zel_test::wait_until([&] { return reap(false); }, limit);
        return m_reaped ? m_status : -1;
    }
    bool running() { return !reap(false); }
    void signal(int number) {
        if (!m_reaped) kill(m_pid, number);
    }
    pid_t pid() const { return m_pid; }
    std::string out() const { return read_file(m_out); }
    std::string err() const { return read_file(m_err); }
    const std::string& out_path() const { return m_out; }

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
    std::string m_out;
    std::string m_err;
};

// A connected socket to 127.0.0.1:port, or -1.
int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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

int descriptors_of(pid_t pid) {
    int count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        (void)entry;
        ++count;
    }
    return count;
}

// `tqr coordinator --quiet` on this test's coordinator port, ready once it accepts connections.
class Coordinator {
public:
    explicit Coordinator(const TempDir& dir) : m_child({"coordinator", "--quiet"}, dir.path(), dir.path()) {}
    bool ready() {
        return zel_test::wait_until(
            [&] {
                int fd = connect_to(zel_test::coordinator_port());
                if (fd < 0) return false;
                close(fd);
                return true;
            },
            kStepLimit);
    }
    // SIGTERM ends it with status 0.
    int stop() {
        m_child.signal(SIGTERM);
        return m_child.wait();
    }
    Child& child() { return m_child; }

private:
    Child m_child;
};

std::vector<std::string> receive_args(const std::string& conference, const std::string& key,
                                      const std::vector<std::string>& more = {}) {
    std::vector<std::string> args{"receive", "--conference", conference, "--key", key};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(TqrTest, FileArrivesIntactUnderItsNameAndOnStandardOutput) {
    TempDir dir;
    fs::create_directory(dir / "first");
    std::string sent = random_file(dir / "payload.bin", 1 << 20, 1);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());

    Child sender({"send", "--conference", "one", "--key", "k", "--count", "2", "payload.bin"}, dir.path(), dir.path());
    Child first(receive_args("one", "k"), dir / "first", dir.path());
    ASSERT_EQ(first.wait(), 0) << first.err();
    // Under the sender's name, and nothing else left in the folder (the temporary file was renamed).
    EXPECT_EQ(names_in(dir / "first"), std::vector<std::string>{"payload.bin"});
    EXPECT_TRUE(read_file(dir / "first/payload.bin") == sent);

    // The key from the environment: --key would add a warning on stderr.
    Child second({"receive", "--conference", "one", "--output", "-"}, dir.path(), dir.path(), {"TQR_KEY=k"});
    ASSERT_EQ(second.wait(), 0) << second.err();
    EXPECT_TRUE(second.out() == sent);
    // Not a terminal: nothing on stderr.
    EXPECT_EQ(second.err(), "");
    EXPECT_NE(first.err().find("warning: other users of this machine can read a key given with --key"),
              std::string::npos)
        << first.err();

    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, OneSenderServesThirtyEndstationsInTurnFromTheDefaultPool) {
    ASSERT_EQ(atoi(getenv("TQR_TOP_PORT")) - zel_test::coordinator_port(), 20);
    TempDir dir;
    std::string sent = random_file(dir / "served.bin", 64 * 1024, 2);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    Child sender({"send", "--conference", "turns", "--key", "k", "--count", "30", "served.bin"}, dir.path(), dir.path());
    for (int i = 0; i < 30; ++i) {
        std::string name = "copy" + std::to_string(i);
        Child endstation(receive_args("turns", "k", {"--output", name}), dir.path(), dir.path());
        ASSERT_EQ(endstation.wait(), 0) << "endstation " << i << ": " << endstation.err();
        ASSERT_TRUE(read_file(dir / name) == sent) << "endstation " << i;
    }
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, TwoConferencesAtOnceDoNotCross) {
    TempDir dir;
    std::string alpha = random_file(dir / "alpha.bin", 200 * 1024, 3);
    std::string beta = random_file(dir / "beta.bin", 300 * 1024, 4);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    // The same key: only the conference keeps them apart.
    Child alpha_sender({"send", "--conference", "alpha", "--key", "k", "--count", "3", "alpha.bin"}, dir.path(), dir.path());
    Child beta_sender({"send", "--conference", "beta", "--key", "k", "--count", "3", "beta.bin"}, dir.path(), dir.path());
    std::vector<std::unique_ptr<Child>> endstations;
    for (int i = 0; i < 6; ++i) {
        std::string conference = i % 2 == 0 ? "alpha" : "beta";
        endstations.emplace_back(new Child(receive_args(conference, "k", {"--output", "got" + std::to_string(i)}),
                                           dir.path(), dir.path()));
    }
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(endstations[i]->wait(), 0) << "endstation " << i << ": " << endstations[i]->err();
        EXPECT_TRUE(read_file(dir / ("got" + std::to_string(i))) == (i % 2 == 0 ? alpha : beta)) << "endstation " << i;
    }
    EXPECT_EQ(alpha_sender.wait(), 0) << alpha_sender.err();
    EXPECT_EQ(beta_sender.wait(), 0) << beta_sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, WrongKeyEndsTheEndstationWithFourWhileTheSenderKeepsServing) {
    TempDir dir;
    for (const char* folder : {"short", "odd", "right", "plain_odd", "plain_right"}) fs::create_directory(dir / folder);
    std::string sent = random_file(dir / "secret.bin", 100 * 1024, 5);
    std::ofstream(dir / "key.txt") << "abcdef\n";
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    Child sender({"send", "--conference", "keys", "--key-file", "key.txt", "--count", "1", "secret.bin"}, dir.path(),
                 dir.path());
    Child plain_sender({"send", "--plain", "--conference", "plainkeys", "--key-file", "key.txt", "--count", "1",
                        "secret.bin"},
                       dir.path(), dir.path());

    // A key of another length: both ends see the mismatch.
    Child shorter(receive_args("keys", "abc"), dir / "short", dir.path());
    EXPECT_EQ(shorter.wait(), 4) << shorter.err();
    // Differs only at index 1, which the endstation hides. Encrypted, the library checks keys derived
    // from these, which differ throughout. Plain, the endstation's own check passes, the sender's does
    // not, and the sender closes the link before any byte of the payload.
    Child odd(receive_args("keys", "aXcdef"), dir / "odd", dir.path());
    EXPECT_EQ(odd.wait(), 4) << odd.err();
    Child plain_odd(receive_args("plainkeys", "aXcdef", {"--plain"}), dir / "plain_odd", dir.path());
    EXPECT_EQ(plain_odd.wait(), 4) << plain_odd.err();
    // A plain endstation does not meet an encrypted sender, even with the right key.
    Child mixed(receive_args("keys", "abcdef", {"--plain"}), dir / "odd", dir.path());
    EXPECT_EQ(mixed.wait(), 4) << mixed.err();
    // None left anything behind, not even a temporary file.
    EXPECT_TRUE(names_in(dir / "short").empty());
    EXPECT_TRUE(names_in(dir / "odd").empty());
    EXPECT_TRUE(names_in(dir / "plain_odd").empty());
    EXPECT_TRUE(sender.running());
    EXPECT_TRUE(plain_sender.running());

    // The key from the environment this time.
    Child right({"receive", "--conference", "keys"}, dir / "right", dir.path(), {"TQR_KEY=abcdef"});
    ASSERT_EQ(right.wait(), 0) << right.err();
    EXPECT_TRUE(read_file(dir / "right/secret.bin") == sent);
    Child plain_right({"receive", "--plain", "--conference", "plainkeys"}, dir / "plain_right", dir.path(),
                      {"TQR_KEY=abcdef"});
    ASSERT_EQ(plain_right.wait(), 0) << plain_right.err();
    EXPECT_TRUE(read_file(dir / "plain_right/secret.bin") == sent);
    // The failures did not count against --count 1.
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(plain_sender.wait(), 0) << plain_sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, SecondSenderOfAConferenceExitsWithThree) {
    TempDir dir;
    std::string sent = random_file(dir / "first.bin", 10 * 1024, 6);
    random_file(dir / "second.bin", 10 * 1024, 7);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    Child first({"send", "--conference", "single", "--key", "k", "first.bin"}, dir.path(), dir.path());
    // Served once: the first sender has joined for sure.
    Child before(receive_args("single", "k", {"--output", "before"}), dir.path(), dir.path());
    ASSERT_EQ(before.wait(), 0) << before.err();

    Child second({"send", "--conference", "single", "--key", "k", "second.bin"}, dir.path(), dir.path());
    EXPECT_EQ(second.wait(), 3) << second.err();

    Child after(receive_args("single", "k", {"--output", "after"}), dir.path(), dir.path());
    ASSERT_EQ(after.wait(), 0) << after.err();
    EXPECT_TRUE(read_file(dir / "after") == sent);
    EXPECT_TRUE(first.running());
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait(), 128 + SIGTERM);
    EXPECT_EQ(coordinator.stop(), 0);
}

// The frame that the in-process sender below writes on every link it gets. The test sets it before
// it starts the receiver that gets it; the lock is the ordering that ThreadSanitizer can see (the real
// one runs through other processes).
std::mutex g_frame_mutex;
std::string g_frame;

void set_frame(const std::string& frame) {
    std::lock_guard<std::mutex> guard(g_frame_mutex);
    g_frame = frame;
}

void write_frame(int fd) {
    std::lock_guard<std::mutex> guard(g_frame_mutex);
    send(fd, g_frame.data(), g_frame.size(), MSG_NOSIGNAL);
}

// What `tqr send` writes before the payload: magic, length (8 bytes) and name length (2 bytes),
// both big-endian, then the name.
std::string frame_header(uint64_t size, const std::string& name) {
    std::string header = "TQRPAY01";
    for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>((size >> shift) & 0xFF);
    header += static_cast<char>((name.size() >> 8) & 0xFF);
    header += static_cast<char>(name.size() & 0xFF);
    return header + name;
}

// The plain format; the encrypted one meets a relay that damages it in crypto_test.
TEST(TqrTest, ShortOrCorruptPayloadEndsWithFiveAndLeavesNoFile) {
    zel_set_quiet(1);
    TempDir dir;
    fs::create_directory(dir / "short");
    fs::create_directory(dir / "corrupt");
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    // A sender in this process, whose bridge writes damaged frames.
    set_bridge_callback(write_frame);
    Caller* sender = new Caller();
    ASSERT_EQ(sender->connect(zel_test::coordinator_port(), "127.0.0.1", ROLE_SENDER, "fake", "damage", "k"), 1);
    sender->startreadthread();
    ASSERT_EQ(sender->negotiate(1, ROLE_SENDER, ROLE_COORDINATOR), 1);
    std::thread loop([&] { sender->process(); });

    std::string payload(1000, 'x');
    set_frame(frame_header(payload.size(), "damaged.bin") + payload.substr(0, 500));
    Child shorter(receive_args("damage", "k", {"--plain"}), dir / "short", dir.path());
    EXPECT_EQ(shorter.wait(), 5) << shorter.err();
    EXPECT_TRUE(names_in(dir / "short").empty());

    set_frame(frame_header(payload.size(), "damaged.bin") + payload + std::string(32, '\0'));
    Child corrupt(receive_args("damage", "k", {"--plain"}), dir / "corrupt", dir.path());
    EXPECT_EQ(corrupt.wait(), 5) << corrupt.err();
    EXPECT_TRUE(names_in(dir / "corrupt").empty());

    shutdown(sender->m_conn->fd(), SHUT_RDWR);
    loop.join();
    delete sender;
    set_bridge_callback(nullptr);
    EXPECT_EQ(coordinator.stop(), 0);
}

// Raw parties that speak part of the handshake (maybe stopping inside a phrase) and close, some
// with a reset; a few complete it and join.
void drop_in_handshake(int port, unsigned start, int parties) {
    std::mt19937 generator(start);
    for (int i = 0; i < parties; ++i) {
        bool sender = generator() % 2 == 0;
        std::string conference = "churn" + std::to_string(generator() % 5);
        std::vector<std::string> phrases;
        if (sender) {
            phrases = {"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join " + conference};
        } else {
            phrases = {"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name raw",
                       "From Endstation join " + conference};
        }
        int fd = connect_to(port);
        if (fd < 0) continue;
        if (generator() % 2 == 0) {
            char greeting[64];
            recv(fd, greeting, sizeof greeting, 0);  // the coordinator's first phrase
        }
        size_t whole = generator() % (phrases.size() + 1);
        std::string wire;
        for (size_t p = 0; p < whole; ++p) wire += phrases[p] + '\0';
        if (whole < phrases.size() && generator() % 3 == 0) wire += phrases[whole].substr(0, 1 + generator() % 8);
        if (!wire.empty()) send(fd, wire.data(), wire.size(), MSG_NOSIGNAL);
        if (whole == phrases.size()) std::this_thread::sleep_for(milliseconds(generator() % 5));
        if (generator() % 4 == 0) {
            linger reset{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        }
        close(fd);
    }
}

TEST(TqrTest, CoordinatorReleasesPartiesThatDropMidHandshakeAndServesOn) {
    TempDir dir;
    std::string sent = random_file(dir / "after.bin", 50 * 1024, 8);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    pid_t pid = coordinator.child().pid();
    // May still count the readiness probe's socket, which only loosens the check below.
    int before = descriptors_of(pid);
    ASSERT_GT(before, 0);

    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 10; ++t)
        threads.emplace_back(drop_in_handshake, zel_test::coordinator_port(), 100 + t, 30);
    for (std::thread& thread : threads) thread.join();

    EXPECT_TRUE(zel_test::wait_until([&] { return descriptors_of(pid) <= before + 2; }, kStepLimit))
        << "before " << before << ", now " << descriptors_of(pid);
    ASSERT_TRUE(coordinator.child().running());

    Child sender({"send", "--conference", "after", "--key", "k", "--count", "1", "after.bin"}, dir.path(), dir.path());
    Child endstation(receive_args("after", "k", {"--output", "got"}), dir.path(), dir.path());
    ASSERT_EQ(endstation.wait(), 0) << endstation.err();
    EXPECT_TRUE(read_file(dir / "got") == sent);
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, ExitStatusForUsageErrorsAndAMissingCoordinator) {
    TempDir dir;
    random_file(dir / "file.bin", 1024, 9);
    // Nothing listens on this port of the range.
    std::vector<std::string> nobody{"TQR_COORDINATOR_PORT=" + std::to_string(zel_test::port(30)),
                                    "TQR_TOP_PORT=" + std::to_string(zel_test::port(31))};
    Child receive_alone(receive_args("none", "k"), dir.path(), dir.path(), nobody);
    EXPECT_EQ(receive_alone.wait(), 2);
    Child send_alone({"send", "--conference", "none", "file.bin"}, dir.path(), dir.path(), nobody);
    EXPECT_EQ(send_alone.wait(), 2);
    Child unresolvable(receive_args("none", "k", {"--host", "no-such-host.invalid"}), dir.path(), dir.path(), nobody);
    EXPECT_EQ(unresolvable.wait(), 2);

    Child no_conference({"receive"}, dir.path(), dir.path());
    EXPECT_EQ(no_conference.wait(), 1);
    Child no_file({"send", "--conference", "none", "missing.bin"}, dir.path(), dir.path(), nobody);
    EXPECT_EQ(no_file.wait(), 1);
    Child both_keys({"send", "--conference", "none", "--key", "a", "--key-file", "b", "file.bin"}, dir.path(), dir.path());
    EXPECT_EQ(both_keys.wait(), 1);
    Child help({"send", "--help"}, dir.path(), dir.path());
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.out().find("--conference"), std::string::npos);
}

TEST(TqrTest, DemoPassesAndMovesAwayFromATakenPort) {
    TempDir dir;
    int port = zel_test::port(0);
    std::vector<std::string> ports{"TQR_COORDINATOR_PORT=" + std::to_string(port),
                                   "TQR_TOP_PORT=" + std::to_string(port + 20)};
    Child demo({"demo"}, dir.path(), dir.path(), ports);
    ASSERT_EQ(demo.wait(seconds(60)), 0) << demo.out() << demo.err();
    EXPECT_NE(demo.out().find("demo passed"), std::string::npos) << demo.out();
    EXPECT_NE(demo.out().find("port " + std::to_string(port + 1)), std::string::npos) << demo.out();
    EXPECT_NE(demo.out().find("encrypted"), std::string::npos) << demo.out();

    // Its coordinator port taken, the demo runs again on the next free block (still in this range).
    int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(taken, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    Child moved({"demo"}, dir.path(), dir.path(), ports);
    int status = moved.wait(seconds(60));
    close(taken);
    ASSERT_EQ(status, 0) << moved.out() << moved.err();
    EXPECT_NE(moved.out().find("moved"), std::string::npos) << moved.out();
    EXPECT_NE(moved.out().find("listens on port " + std::to_string(port + 21)), std::string::npos) << moved.out();
}

}  // namespace
