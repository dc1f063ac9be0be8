// The `tqr` tool end to end: a real coordinator, senders and endstations, each its own process on
// loopback, and a relay in the middle of the direct link.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <thread>

#include "harness.h"
#include "protocol/phrase.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

const milliseconds kTool = kToolStep;

// `tqr ARGS` on a terminal of its own, `columns` wide: standard input, output and error are one
// pseudo-terminal, whose every byte is kept; type() is a person at the keyboard. One thread owns it;
// its reader thread fills `m_seen`.
class Terminal {
public:
    Terminal(const std::vector<std::string>& args, const std::string& cwd, unsigned short columns) {
        std::vector<std::string> text{fs::read_symlink("/proc/self/exe").parent_path() / "tqr"};
        text.insert(text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& arg : text) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        m_pid = forkpty(&m_master, nullptr, nullptr, &size);
        if (m_pid == 0) {
            if (chdir(cwd.c_str()) == 0) execv(argv[0], argv.data());
            _exit(127);
        }
        m_reader = std::thread([this] {
            char buffer[4096];
            for (ssize_t n; (n = read(m_master, buffer, sizeof buffer)) > 0;) {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_seen.append(buffer, static_cast<size_t>(n));
                m_changed.notify_all();
            }
            std::lock_guard<std::mutex> guard(m_mutex);
            m_ended = true;
            m_changed.notify_all();
        });
    }
    ~Terminal() {
        if (m_status < 0) kill(m_pid, SIGKILL);
        wait(kTool);
        m_reader.join();
        close(m_master);
    }
    void type(const std::string& keys) { ASSERT_EQ(write(m_master, keys.data(), keys.size()), ssize_t(keys.size())); }
    void signal(int number) { kill(m_pid, number); }
    bool wait_for(const std::string& text, milliseconds limit = kTool) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_seen.find(text) != std::string::npos || m_ended; }) &&
               m_seen.find(text) != std::string::npos;
    }
    // The exit status once the terminal was let go (the process ended), or -1.
    int wait(milliseconds limit = kTool) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_status < 0 && m_changed.wait_for(lock, limit, [&] { return m_ended; })) {
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return m_status;
    }
    bool sane() {
        termios now{};
        return tcgetattr(m_master, &now) == 0 && (now.c_lflag & ECHO) && (now.c_lflag & ICANON) && (now.c_lflag & ISIG);
    }
    std::string seen() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_seen;
    }
    // The lines as the terminal shows them at the end (no wrapping: a line wider than it stays whole).
    std::vector<std::string> screen() {
        std::string raw = seen();
        std::vector<std::string> lines{""};
        size_t column = 0;
        for (size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '\r') {
                column = 0;
            } else if (raw[i] == '\n') {
                lines.emplace_back();
                column = 0;
            } else if (raw.compare(i, 3, "\033[K") == 0) {
                lines.back().resize(std::min(column, lines.back().size()));
                i += 2;
            } else if (column < lines.back().size()) {
                lines.back()[column++] = raw[i];
            } else {
                lines.back() += raw[i];
                ++column;
            }
        }
        return lines;
    }
    // Each state of the status line as it was drawn.
    std::vector<std::string> drawn(const std::string& prefix) {
        std::string raw = seen();
        std::vector<std::string> found;
        for (size_t at = raw.find("\r\033[K" + prefix); at != std::string::npos; at = raw.find("\r\033[K" + prefix, at + 1))
        {
            size_t end = raw.find_first_of("\r\n\033", at + 4);
            // A redraw is followed by the next one; a line of its own (a note, the last line) by its end.
            if (end != std::string::npos && raw.compare(end, 2, "\r\n") != 0 && raw[end] == '\r') found.push_back(raw.substr(at + 4, end - at - 4));
        }
        return found;
    }

private:
    pid_t m_pid = -1;
    int m_master = -1;
    int m_status = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_seen;
    bool m_ended = false;
};

bool has_line(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> receive_args(const std::string& conference, std::vector<std::string> more = {}) {
    std::vector<std::string> args{"receive", "--conference", conference};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(TqrTest, TheRightKeyGetsTheFileIntactAWrongOneEndsTheReceiverWithFour) {
    TempDir dir;
    for (const char* folder : {"wrong", "mixed", "right"}) fs::create_directory(dir / folder);
    std::string sent = random_bytes(1 << 20, 1);
    write_file(dir / "secret.bin", sent);
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    // Given no key, the sender makes one and shows it, with the command that receives, on stdout only.
    TqrProcess sender({"send", "--conference", "keys", "--count", "2", "secret.bin"}, dir.path());
    ASSERT_TRUE(sender.wait_for_out(" tqr receive --conference keys\n", kTool)) << sender.out();
    std::string out = sender.out();
    std::string key = out.substr(out.find("TQR_KEY=") + 8, 34);
    EXPECT_EQ(sender.err().find(key), std::string::npos);

    TqrProcess wrong(receive_args("keys", {"--key", key.substr(0, 33)}), dir / "wrong");
    EXPECT_EQ(wrong.wait(kTool), 4) << wrong.err();
    TqrProcess mixed(receive_args("keys", {"--plain"}), dir / "mixed", {"TQR_KEY=" + key});
    EXPECT_EQ(mixed.wait(kTool), 4) << mixed.err();
    for (const char* folder : {"wrong", "mixed"}) EXPECT_TRUE(fs::is_empty(dir / folder)) << folder;

    // The generated key as a person might type it: lower case, blanks for dashes.
    std::string typed = key;
    std::transform(typed.begin(), typed.end(), typed.begin(), [](char c) { return c == '-' ? ' ' : tolower(c); });
    TqrProcess right(receive_args("keys"), dir / "right", {"TQR_KEY=" + typed});
    ASSERT_EQ(right.wait(kTool), 0) << right.err();
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "right"), fs::directory_iterator()), 1);
    EXPECT_TRUE(read_file(dir / "right/secret.bin") == sent);
    // The key through a pipe (as `--key-file <(...)` or `... | tqr receive --key-file /dev/stdin` give
    // it), written in two pieces with time between them.
    const std::string pipe = dir / "key.pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    TqrProcess piped(receive_args("keys", {"--output", "-", "--key-file", "/dev/stdin"}), dir.path(), {}, pipe);
    int key_in = open(pipe.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(key_in, 0);
    EXPECT_EQ(write(key_in, key.data(), 10), 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(write(key_in, key.data() + 10, key.size() - 10), static_cast<ssize_t>(key.size() - 10));
    EXPECT_EQ(write(key_in, "\nnot the key", 12), 12);
    close(key_in);
    ASSERT_EQ(piped.wait(kTool), 0) << piped.err();
    EXPECT_TRUE(piped.out() == sent);
    // The failures did not count against --count 2.
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
    EXPECT_EQ(coordinator.lines("rendezvous").size(), 4u) << coordinator.err();
}

// Sizes at the edges of the sealed stream's chunks, from a file and streamed from standard input,
// encrypted and plain; and endstations one after another from one sender.
TEST(TqrTest, EdgeSizesArriveIntactFromFilesAndStreams) {
    TempDir dir;
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    int round = 0;
    for (size_t size : {size_t{0}, size_t{1}, size_t{64 * 1024 + 1}, size_t{3 << 20}}) {
        for (bool plain : {false, true}) {
            for (bool streamed : {false, true}) {
                SCOPED_TRACE(std::to_string(size) + (plain ? " plain" : "") + (streamed ? " streamed" : ""));
                std::string conference = "edge" + std::to_string(++round), name = "in" + std::to_string(round);
                std::string bytes = random_bytes(size, static_cast<unsigned>(round));
                write_file(dir / name, bytes);
                std::vector<std::string> args{"send", "--conference", conference, "--key", "k", "--count", "1"};
                if (plain) args.push_back("--plain");
                args.push_back(streamed ? "-" : name);
                TqrProcess sender(args, dir.path(), {}, streamed ? dir / name : "/dev/null");
                std::vector<std::string> more{"--key", "k", "--output", "out" + std::to_string(round)};
                if (plain) more.push_back("--plain");
                TqrProcess receiver(receive_args(conference, more), dir.path());
                ASSERT_EQ(receiver.wait(kTool), 0) << receiver.err();
                EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
                EXPECT_TRUE(read_file(dir / ("out" + std::to_string(round))) == bytes);
            }
        }
    }
    // A file of /proc says that it is empty, and is not.
    TqrProcess sender({"send", "--conference", "proc", "--key", "k", "--count", "1", "/proc/version"}, dir.path());
    TqrProcess receiver(receive_args("proc", {"--key", "k", "--output", "version"}), dir.path());
    ASSERT_EQ(receiver.wait(kTool), 0) << receiver.err();
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_EQ(read_file(dir / "version"), read_file("/proc/version"));
    EXPECT_FALSE(read_file("/proc/version").empty());
    EXPECT_EQ(coordinator.stop(), 0);
}

// A streamed input that pauses for longer than either end's stall limit is no stalled link: every
// byte arrives. The pause is the producer's, the input under test, not a wait for anything.
TEST(TqrTest, AStreamThatPausesLongerThanTheStallLimitArrivesWhole) {
    TempDir dir;
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string fifo = dir / "input";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    signal(SIGPIPE, SIG_IGN);  // a sender that gave up is a failure below, not the end of the run
    const std::vector<std::string> stall{"TQR_STALL_TIMEOUT=1"};
    TqrProcess sender({"send", "--conference", "pause", "--key", "k", "--count", "1", "-"}, dir.path(), stall, fifo);
    int input = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(input, 0);
    TqrProcess receiver(receive_args("pause", {"--key", "k", "--output", "out"}), dir.path(), stall);
    EXPECT_EQ(write(input, "before ", 7), 7);
    EXPECT_TRUE(sender.wait_for_err("check words with", kTool)) << sender.err();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    EXPECT_EQ(write(input, "after", 5), 5);
    close(input);
    EXPECT_EQ(receiver.wait(kTool), 0) << receiver.err();
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_EQ(read_file(dir / "out"), "before after");
    EXPECT_EQ(coordinator.stop(), 0);
}

// `--count 1` serves one endstation: another that came meanwhile is told that the sender has served
// its count, not left waiting. (Approvals do not wait for the endstations approved before: one of
// those may be a stranger that never comes.)
TEST(TqrTest, ASenderWithACountServesThatManyAndTellsTheRest) {
    TempDir dir;
    write_file(dir / "one.bin", random_bytes(4096, 7));
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    fs::create_directory(dir / "a");
    fs::create_directory(dir / "b");
    TqrProcess first(receive_args("count", {"--key", "k", "--json"}), dir / "a");
    TqrProcess second(receive_args("count", {"--key", "k", "--json"}), dir / "b");
    ASSERT_TRUE(first.wait_for_err("\"event\":\"waiting\"", kTool) && second.wait_for_err("\"event\":\"waiting\"", kTool));
    TqrProcess sender({"send", "--conference", "count", "--key", "k", "--count", "1", "one.bin"}, dir.path());
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    int a = first.wait(kTool), b = second.wait(kTool);
    EXPECT_TRUE((a == 0 && b == 4) || (a == 4 && b == 0)) << first.err() << second.err();
    EXPECT_NE((a == 4 ? first : second).err().find("it reached its --count"), std::string::npos)
        << (a == 4 ? first : second).err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, ExitStatusesTellAMissingCoordinatorAndASecondSender) {
    TempDir dir;
    write_file(dir / "f", "x");
    TqrProcess lonely({"send", "--conference", "c", "--key", "k", "f"}, dir.path());
    EXPECT_EQ(lonely.wait(kTool), 2) << lonely.err();
    TqrProcess nobody(receive_args("c", {"--key", "k"}), dir.path());
    EXPECT_EQ(nobody.wait(kTool), 2) << nobody.err();
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    TqrProcess first({"send", "--conference", "taken", "--key", "k", "f"}, dir.path());
    TqrProcess second({"send", "--conference", "taken", "--key", "k", "f"}, dir.path());
    // Whichever came second is turned away with 3; the first serves on.
    TqrProcess* turned = TqrProcess::first_to_end({&first, &second}, kTool);
    ASSERT_NE(turned, nullptr);
    EXPECT_EQ(turned->wait(), 3) << turned->err();
    EXPECT_TRUE((turned == &first ? second : first).running());
    EXPECT_EQ(coordinator.stop(), 0);
    EXPECT_EQ(coordinator.lines("rejected_sender").size(), 1u);
}

// What a party says reaches the coordinator's status lines only escaped: a nickname cannot start a
// line of its own. A nickname too long to relay is refused with a line saying why.
TEST(TqrTest, StatusLinesCarryPeerBytesOnlyEscaped) {
    TempDir dir;
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    RawParty sender, endstation, long_name;
    ASSERT_TRUE(sender.join(ROLE_SENDER, "forge"));
    ASSERT_TRUE(endstation.join(ROLE_ENDSTATION, "forge", "x\nrendezvous conference=forged outcome=ok\x1b[2J"));
    HandRendezvous hand{sender, endstation, "", "", ""};
    ASSERT_EQ(hand.play(HandRendezvous::Nominate, HandRendezvous::Adios), -1);
    ASSERT_TRUE(long_name.join(ROLE_ENDSTATION, "forge", std::string(972, 'n')));
    EXPECT_TRUE(long_name.wait_end());
    EXPECT_EQ(coordinator.stop(), 0);
    EXPECT_EQ(coordinator.lines("rendezvous").size(), 1u) << coordinator.err();
    EXPECT_NE(coordinator.err().find("nickname=\"x\\x0arendezvous conference=forged outcome=ok\\x1b[2J\""), std::string::npos)
        << coordinator.err();
    EXPECT_EQ(coordinator.lines("dropped").size(), 1u);
    EXPECT_NE(coordinator.err().find("dropped reason=nickname_too_long"), std::string::npos);
}

// A relay on the direct link sees the key check, and so the key the library checks: with the
// encrypted mode that is a key derived from the user's, which opens nothing; the payload passes sealed,
// and a byte changed on the way makes the receiver refuse it (exit 5) and store nothing. With --plain
// the relay learns the key itself and reads the payload.
TEST(TqrTest, ARelayOnTheDirectLinkLearnsNothingOfAnEncryptedTransferAndCannotChangeIt) {
    TempDir dir;
    const std::string payload = random_bytes(1 << 20, 9);
    write_file(dir / "payload.bin", payload);
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    struct Case {
        const char* name;
        bool plain;
        bool flip;
        int status;
    };
    int round = 0;
    for (const Case& c : {Case{"watched", false, false, 0}, Case{"changed", false, true, 5}, Case{"plain", true, false, 0}}) {
        SCOPED_TRACE(c.name);
        std::string conference = std::string("relay-") + c.name, folder = dir / c.name;
        fs::create_directory(folder);
        std::string seen;
        Relay relay(free_port(10 + 2 * round), free_port(11 + 2 * round), [&](int endstation, int sender) {
            std::thread back([&] { Relay::pump(endstation, sender, nullptr); });
            char buffer[65536];
            size_t passed = 0;
            for (ssize_t n; (n = recv(sender, buffer, sizeof buffer, 0)) > 0; passed += static_cast<size_t>(n)) {
                if (c.flip && passed < 200000 && passed + static_cast<size_t>(n) >= 200000) buffer[0] ^= 1;
                seen.append(buffer, static_cast<size_t>(n));
                if (send(endstation, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            }
            shutdown(endstation, SHUT_WR);
            back.join();
        });
        ++round;
        ASSERT_TRUE(relay.start());
        std::vector<std::string> send_args{"send", "--conference", conference, "--key", "the real key", "--count", "1", "payload.bin"};
        std::vector<std::string> receive_more{"--key", "the real key"};
        if (c.plain) {
            send_args.push_back("--plain");
            receive_more.push_back("--plain");
        }
        TqrProcess sender(send_args, dir.path());
        TqrProcess receiver(receive_args(conference, receive_more), folder,
                            {"TQR_COORDINATOR_PORT=" + std::to_string(free_port(8 + 2 * round))});
        EXPECT_EQ(receiver.wait(kTool), c.status) << receiver.err();
        sender.signal(SIGTERM);
        relay.join();
        EXPECT_TRUE(relay.linked());
        EXPECT_EQ(relay.learned_key() == "the real key", c.plain);
        EXPECT_EQ(seen.find(payload.substr(500000, 64)) != std::string::npos, c.plain);
        EXPECT_EQ(fs::is_empty(folder), c.status != 0);
    }
    EXPECT_EQ(coordinator.stop(), 0);
}

// A person on a 60-column terminal: the code and a payload on standard output stand on lines of their
// own, never after the status line; the status line is cut only between whole fields; a question's
// time counts in no rate.
TEST(TqrTest, OnATerminalEveryLineStandsAloneAndTheStatusLineIsCutBetweenFields) {
    TempDir dir;
    for (const char* folder : {"screen", "asked", "other"}) fs::create_directory(dir / folder);
    write_file(dir / "note.txt", "meet at 5pm");
    write_file(dir / "asked/note.txt", "old");
    auto spawned = std::chrono::steady_clock::now();
    Terminal sender({"send", "--count", "3", "note.txt"}, dir.path(), 60);
    ASSERT_TRUE(sender.wait_for("On the receiving machine")) << sender.seen();
    std::smatch found;
    std::string seen = sender.seen();
    ASSERT_TRUE(std::regex_search(seen, found, std::regex("Code: ([0-9a-z-]+)")));
    std::string code = found[1];
    EXPECT_TRUE(has_line(sender.screen(), "Code: " + code)) << seen;

    Terminal screen({"receive", "--host", "127.0.0.1", "--output", "-", code}, dir / "screen", 60);
    EXPECT_EQ(screen.wait(), 0) << screen.seen();
    EXPECT_TRUE(has_line(screen.screen(), "meet at 5pm")) << screen.seen();
    EXPECT_TRUE(has_line(screen.screen(), "tqr receive: done, 11 B verified")) << screen.seen();

    spawned = std::chrono::steady_clock::now();
    Terminal asked({"receive", "--host", "127.0.0.1", code}, dir / "asked", 60);
    ASSERT_TRUE(asked.wait_for("replace it? [y/N] ")) << asked.seen();
    auto shown = std::chrono::steady_clock::now();
    // The question stays up while another endstation takes the file whole.
    TqrProcess other({"receive", "--host", "127.0.0.1", code}, dir / "other");
    ASSERT_EQ(other.wait(kTool), 0) << other.err();
    auto held = std::chrono::steady_clock::now() - shown;
    asked.type("y\r");
    ASSERT_EQ(asked.wait(), 0) << asked.seen();
    auto lived = std::chrono::steady_clock::now() - spawned;
    EXPECT_EQ(read_file(dir / "asked/note.txt"), "meet at 5pm");
    seen = asked.seen();
    ASSERT_TRUE(std::regex_search(seen, found, std::regex("note.txt: 11 B in ([0-9.]+) s")));
    // The line rounds to a hundredth of a second.
    EXPECT_LE(std::stod(found[1]), std::chrono::duration<double>(lived - held).count() + 0.005) << seen;
    EXPECT_EQ(sender.wait(), 0) << sender.seen();

    // Fields: "42%", "1.0 KiB of 2.0 KiB", "3.0 MiB/s", "3s left", then states and counters, whole.
    const std::regex field("[0-9]+%|[0-9.]+ [KMGT]?i?B( of [0-9.]+ [KMGT]?i?B)?|[0-9.]+ [KMGT]?i?B/s|[0-9hms]+ left|"
                           "[a-z][ -~]*[^ ,|]");
    for (Terminal* terminal : {&sender, &screen, &asked}) {
        for (const std::string& line : terminal->drawn("tqr ")) {
            EXPECT_LE(line.size(), 59u) << line;
            std::string rest = line.substr(line.find(": ") + 2) + " | ", part;
            for (size_t i = 0; i < rest.size(); ++i) {
                bool share = rest.compare(i, 2, "% ") == 0;
                size_t gap = rest.compare(i, 3, " | ") == 0                                      ? 3
                             : rest.compare(i, 2, ", ") == 0 && isdigit(rest[i + 2] & 0xff) ? 2
                             : share                                                          ? 2
                                                                                              : 0;
                if (share) part += '%';
                if (gap == 0) part += rest[i];
                if (gap == 0) continue;
                EXPECT_TRUE(part.empty() || std::regex_match(part, field)) << part << " in " << line;
                part.clear();
                i += gap - 1;
            }
        }
    }
}

// Ctrl-C or SIGTERM at either prompt ends the command with its interrupted line, on a line of its
// own, and the terminal as it was.
TEST(TqrTest, AnInterruptAtAPromptEndsWithItsLineAndStatus) {
    TempDir dir;
    write_file(dir / "there", "x");
    struct Case {
        std::vector<std::string> args;
        const char* prompt;
        bool key;  // Ctrl-C typed, else SIGTERM
        int status;
        const char* line;
    };
    const std::vector<std::string> code{"receive"}, replace{"receive", "--conference", "c", "--key-file", "there", "-o", "there"};
    for (const Case& c : {Case{code, "Tab completes a word): ", true, 130, "tqr receive: interrupted (SIGINT)"},
                          Case{code, "Tab completes a word): ", false, 143, "tqr receive: interrupted (SIGTERM)"},
                          Case{replace, "replace it? [y/N] ", true, 130, "tqr receive: interrupted (SIGINT)"},
                          Case{replace, "replace it? [y/N] ", false, 143, "tqr receive: interrupted (SIGTERM)"}}) {
        SCOPED_TRACE(c.line + std::string(" at ") + c.prompt);
        Terminal terminal(c.args, dir.path(), 80);
        ASSERT_TRUE(terminal.wait_for(c.prompt)) << terminal.seen();
        terminal.type("12-war");
        ASSERT_TRUE(terminal.wait_for("12-war")) << terminal.seen();
        if (c.key) terminal.type("\x03");
        if (!c.key) terminal.signal(SIGTERM);
        EXPECT_EQ(terminal.wait(), c.status) << terminal.seen();
        EXPECT_TRUE(has_line(terminal.screen(), c.line)) << terminal.seen();
        EXPECT_TRUE(terminal.sane());
        EXPECT_EQ(read_file(dir / "there"), "x");
    }
}

// A coordinator whose queue of connections is full drops the connect's packets, which holds the
// connect for minutes: an interruption meanwhile still ends the command at once with its status.
TEST(TqrTest, AnInterruptWhileTheCoordinatorDoesNotAnswerEndsAtOnce) {
    TempDir dir;
    write_file(dir / "key", "a key of the conference\n");
    ASSERT_EQ(chmod((dir / "key").c_str(), 0600), 0);
    const int port = free_port(50);
    int listener = listen_on(port, 0);
    ASSERT_GE(listener, 0);
    // The stranger fills the queue; the kernel then drops every further connect's packets.
    std::vector<int> fillers;
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in from{}, to{};
        from.sin_family = to.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
        inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
        to.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        fillers.push_back(fd);
    }
    for (int sig : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(sig);
        TqrProcess receiver({"receive", "--verbose", "--conference", "c", "--key-file", "key"}, dir.path(),
                            {"TQR_COORDINATOR_PORT=" + std::to_string(port)});
        // The library's line just before its connect.
        ASSERT_TRUE(receiver.wait_for_err("socket successful", kTool)) << receiver.err();
        receiver.signal(sig);
        EXPECT_EQ(receiver.wait(kTool), 128 + sig) << receiver.err();
        EXPECT_NE(receiver.err().find("interrupted"), std::string::npos) << receiver.err();
    }
    for (int fd : fillers) close(fd);
    close(listener);
}

// What a person gets wrong on the command line: one line that names it, and -V wherever it is tried.
TEST(TqrTest, SlipsOnTheCommandLineGetOneLineThatNamesThem) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    TqrProcess top({"-V"});
    ASSERT_EQ(top.wait(kTool), 0);
    const std::string version = top.out();
    EXPECT_TRUE(std::regex_match(version, std::regex("tqr [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << version;
    for (const Case& c : std::vector<Case>{
             {{"receive", "12-wardan-ocean-tulip"}, 1, "",
              "tqr receive: wardan is not a word of the code list; did you mean warden?\n"},
             {{"receive", "12", "Ocean", "tulpi", "\xe6\x97\xa5\xff"}, 1, "",
              "tqr receive: tulpi and \xe6\x97\xa5\\xff are not words of the code list (tulpi: tulip?)\n"},
             {{"receive", "7-guitar"}, 1, "",
              "tqr receive: a code is a number and two to eight words of the list, as in 7-guitar-ocean-tulip; that "
              "has 2 parts\n"},
             {{"receive", "07-guitar-ocean-tulip"}, 1, "",
              "tqr receive: 07 is not the code's number: it starts with a number from 1 to 999999 without leading "
              "zeros, as in 7-guitar-ocean-tulip\n"},
             {{"send", "--code", "7-guitar-ocan", "f"}, 1, "",
              "tqr send: ocan is not a word of the code list; did you mean ocean?\n"},
             {{"send", "--text", "hi", "f"}, 1, "", "tqr send: give a file or --text, not both\n"},
             {{"send", "--text", std::string(64 * 1024 + 1, 'a')}, 1, "",
              "tqr send: a text is at most 64 KiB: send a longer one as a file\n"},
             // A standard stream closed at the start: its number would go to a socket of the tool's.
             {{"/bin/sh", "-c", "exec \"$0\" send f >&-", ZEL_TQR_PATH}, 1, "",
              "tqr send: standard output is closed: a fresh code would be shown nowhere (or use --json or --code); "
              "give it a file or /dev/null\n"},
             {{"/bin/sh", "-c", "exec \"$0\" send --conference c f >&-", ZEL_TQR_PATH}, 1, "",
              "tqr send: standard output is closed: the key it would make would be shown nowhere (give --key); give "
              "it a file or /dev/null\n"},
             {{"/bin/sh", "-c", "exec \"$0\" send --text - <&-", ZEL_TQR_PATH}, 1, "",
              "tqr send: standard input is closed: nothing to send; give it a file or /dev/null\n"},
             {{"/bin/sh", "-c", "exec \"$0\" receive -o - 7-guitar-ocean-tulip >&-", ZEL_TQR_PATH}, 1, "",
              "tqr receive: standard output is closed: the payload would go nowhere; give it a file or /dev/null\n"},
             {{"send", "-V"}, 0, version, ""}, {{"receive", "--version"}, 0, version, ""},
             {{"coordinator", "-V"}, 0, version, ""}, {{"demo", "-V"}, 0, version, ""}}) {
        SCOPED_TRACE(c.args.back());
        TqrProcess tqr(c.args);
        EXPECT_EQ(tqr.wait(kTool), c.status);
        EXPECT_EQ(tqr.out(), c.out);
        EXPECT_EQ(tqr.err(), c.err);
    }
    TqrProcess help({"receive", "--help"});
    EXPECT_EQ(help.wait(kTool), 0);
    EXPECT_EQ(help.out().find("send makes one"), std::string::npos);
    EXPECT_NE(help.out().find("130/143 interrupted"), std::string::npos);
}

// A sender of --count 2 shows each endstation under way with its own share (as many as fit, then how
// many more) and what it served; without a terminal, one summary per endstation and totals that say
// what they count. An endstation whose person is asked holds its link open while the other transfers.
TEST(TqrTest, TheSendersLineShowsEachEndstationUnderWay) {
    TempDir dir;
    write_file(dir / "big.bin", random_bytes(1 << 20, 5));
    const std::string share = "0% to 127\\.0\\.0\\.1:[0-9]+", totals = "tqr send: done, served 2 endstations, 1.0 MiB each";
    for (unsigned short columns : {0, 120, 70}) {
        SCOPED_TRACE(columns);
        std::string held = dir / ("held" + std::to_string(columns)), other = dir / ("other" + std::to_string(columns));
        fs::create_directories(held);
        fs::create_directories(other);
        write_file(held + "/big.bin", "old");
        const std::vector<std::string> args{"send", "--count", "2", "big.bin"};
        std::unique_ptr<Terminal> screen(columns ? new Terminal(args, dir.path(), columns) : nullptr);
        std::unique_ptr<TqrProcess> plain(columns ? nullptr : new TqrProcess(args, dir.path()));
        ASSERT_TRUE(screen ? screen->wait_for("On the receiving machine") : plain->wait_for_out("On the receiving machine", kTool));
        std::smatch found;
        std::string said = screen ? screen->seen() : plain->out();
        ASSERT_TRUE(std::regex_search(said, found, std::regex("Code: ([0-9a-z-]+)"))) << said;
        Terminal asked({"receive", "--host", "127.0.0.1", found[1]}, held, 80);
        ASSERT_TRUE(asked.wait_for("replace it? [y/N] ")) << asked.seen();
        TqrProcess whole({"receive", "--host", "127.0.0.1", found[1]}, other);
        ASSERT_EQ(whole.wait(kTool), 0) << whole.err();
        asked.type("y\r");
        ASSERT_EQ(asked.wait(), 0) << asked.seen();
        if (screen) {
            ASSERT_EQ(screen->wait(), 0) << screen->seen();
            const std::regex both("^tqr send: " + share + " \\| " + (columns > 80 ? share : "and 1 more") + " \\| served 0 of 2");
            std::vector<std::string> lines = screen->drawn("tqr send: ");
            EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return std::regex_search(line, both); }))
                << screen->seen();
            EXPECT_TRUE(has_line(screen->screen(), totals)) << screen->seen();
            continue;
        }
        ASSERT_EQ(plain->wait(kTool), 0) << plain->err();
        std::string err = plain->err();
        std::vector<std::string> peers;
        const std::regex summary("tqr send: big\\.bin: 1\\.0 MiB in [0-9.]+ s, [0-9.]+ [KMG]?i?B/s, to (127\\.0\\.0\\.1:[0-9]+)\n");
        for (std::sregex_iterator it(err.begin(), err.end(), summary), end; it != end; ++it) peers.push_back((*it)[1]);
        EXPECT_TRUE(peers.size() == 2 && peers[0] != peers[1]) << err;
        EXPECT_NE(err.find(totals.substr(0, 10) + totals.substr(16) + "\n"), std::string::npos) << err;
    }
}

}  // namespace
