// The `tqr` tool end to end: a real coordinator, senders and endstations, each its own process on
// loopback, with the ports of this test's range (TQR_COORDINATOR_PORT / TQR_TOP_PORT, inherited).
#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>

#include "raw_party.h"

namespace {

namespace fs = std::filesystem;
using namespace zel_test;
using std::chrono::seconds;

// Outside ctest the same range as under it.
const bool g_ports_set = [] {
    setenv("TQR_COORDINATOR_PORT", "21200", 0);
    setenv("TQR_TOP_PORT", "21220", 0);
    setenv("ZEL_TEST_PORT_BASE", "21240", 0);
    return true;
}();
const bool g_exit_guard = fail_on_early_exit();

// One step of a tqr process; generous, for the sanitizer builds.
const milliseconds kStep = seconds(60);

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

std::vector<std::string> receive_args(const std::string& conference, const std::string& key,
                                      std::vector<std::string> more = {}) {
    std::vector<std::string> args{"receive", "--conference", conference, "--key", key};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// `tqr coordinator` on this test's port; it has started once it accepts connections.
struct Coordinator : TqrProcess {
    explicit Coordinator(const TempDir& dir) : TqrProcess({"coordinator"}, dir.path(), dir.path()) {}
    bool ready() { return accepting(coordinator_port(), kStep); }
    int stop() { return stop_with(SIGTERM, kStep); }
};

TEST(TqrTest, TheRightKeyGetsTheFileIntactAWrongOneEndsTheReceiverWithFour) {
    TempDir dir;
    for (const char* folder : {"wrong", "mixed", "plain_odd", "right"}) fs::create_directory(dir / folder);
    std::string sent = random_file(dir / "secret.bin", 1 << 20, 1);
    std::ofstream(dir / "key.txt") << "abcdef\n";
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    // Given no key, the sender makes one and shows it, with the command that receives, on stdout only.
    TqrProcess sender({"send", "--conference", "keys", "--count", "2", "secret.bin"}, dir.path(), dir.path());
    TqrProcess plain_sender({"send", "--plain", "--conference", "plainkeys", "--key-file", "key.txt", "secret.bin"},
                            dir.path(), dir.path());
    std::string out;
    auto shown = [&] { return (out = sender.out()).find(" tqr receive --conference keys\n") != std::string::npos; };
    ASSERT_TRUE(wait_until(shown, kStep)) << out;
    std::string key = out.substr(out.find("TQR_KEY=") + 8, 34);
    EXPECT_EQ(sender.err().find(key), std::string::npos);

    TqrProcess wrong(receive_args("keys", key.substr(0, 33)), dir / "wrong", dir.path());
    EXPECT_EQ(wrong.wait(kStep), 4) << wrong.err();
    EXPECT_NE(wrong.err().find("warning: other users of this machine can read a key given with --key"),
              std::string::npos) << wrong.err();
    // The right key, but a plain endstation does not meet an encrypted sender.
    TqrProcess mixed({"receive", "--plain", "--conference", "keys"}, dir / "mixed", dir.path(), {"TQR_KEY=" + key});
    EXPECT_EQ(mixed.wait(kStep), 4) << mixed.err();
    // Plain, a key that differs only at index 1, which the endstation hides: its own check passes, the
    // sender's does not, and the sender closes the link before any byte of the payload.
    TqrProcess plain_odd(receive_args("plainkeys", "aXcdef", {"--plain"}), dir / "plain_odd", dir.path());
    EXPECT_EQ(plain_odd.wait(kStep), 4) << plain_odd.err();
    for (const char* folder : {"wrong", "mixed", "plain_odd"}) EXPECT_TRUE(names_in(dir / folder).empty()) << folder;
    EXPECT_TRUE(plain_sender.running());

    // The generated key as a person might type it: lower case, blanks for dashes. The file arrives under
    // the sender's name, and nothing else is left in the folder (the temporary file was renamed).
    std::string typed = key;
    std::transform(typed.begin(), typed.end(), typed.begin(), [](char c) { return c == '-' ? ' ' : tolower(c); });
    TqrProcess right({"receive", "--conference", "keys"}, dir / "right", dir.path(), {"TQR_KEY=" + typed});
    ASSERT_EQ(right.wait(kStep), 0) << right.err();
    EXPECT_EQ(names_in(dir / "right"), std::vector<std::string>{"secret.bin"});
    EXPECT_TRUE(read_file(dir / "right/secret.bin") == sent);
    // On standard output too; stderr is no terminal, so nothing is on it.
    TqrProcess piped({"receive", "--conference", "keys", "--output", "-"}, dir.path(), dir.path(), {"TQR_KEY=" + key});
    ASSERT_EQ(piped.wait(kStep), 0) << piped.err();
    EXPECT_TRUE(piped.out() == sent);
    EXPECT_EQ(piped.err(), "");
    // The failures did not count against --count 2.
    EXPECT_EQ(sender.wait(kStep), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, OneSenderServesThirtyEndstationsInTurnFromTheDefaultPool) {
    ASSERT_EQ(pool_top() - coordinator_port(), 20);
    TempDir dir;
    std::string sent = random_file(dir / "served.bin", 64 * 1024, 2);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    TqrProcess sender({"send", "--conference", "turns", "--key", "k", "--count", "30", "served.bin"}, dir.path(),
                      dir.path());
    for (int i = 0; i < 30; ++i) {
        std::string name = "copy" + std::to_string(i);
        TqrProcess endstation(receive_args("turns", "k", {"--output", name}), dir.path(), dir.path());
        ASSERT_EQ(endstation.wait(kStep), 0) << "endstation " << i << ": " << endstation.err();
        ASSERT_TRUE(read_file(dir / name) == sent) << "endstation " << i;
    }
    EXPECT_EQ(sender.wait(kStep), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, TwoConferencesAtOnceDoNotCrossAndASecondSenderExitsWithThree) {
    TempDir dir;
    std::string alpha = random_file(dir / "alpha.bin", 200 * 1024, 3);
    std::string beta = random_file(dir / "beta.bin", 300 * 1024, 4);
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    // The same key: only the conference keeps them apart.
    TqrProcess alpha_sender({"send", "--conference", "alpha", "--key", "k", "--count", "4", "alpha.bin"}, dir.path(),
                            dir.path());
    TqrProcess beta_sender({"send", "--conference", "beta", "--key", "k", "--count", "3", "beta.bin"}, dir.path(),
                           dir.path());
    std::vector<std::unique_ptr<TqrProcess>> endstations;
    for (int i = 0; i < 6; ++i)
        endstations.emplace_back(new TqrProcess(
            receive_args(i % 2 == 0 ? "alpha" : "beta", "k", {"--output", "got" + std::to_string(i)}), dir.path(),
            dir.path()));
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(endstations[i]->wait(kStep), 0) << "endstation " << i << ": " << endstations[i]->err();
        EXPECT_TRUE(read_file(dir / ("got" + std::to_string(i))) == (i % 2 == 0 ? alpha : beta)) << "endstation " << i;
    }
    EXPECT_EQ(beta_sender.wait(kStep), 0) << beta_sender.err();

    // Alpha's sender has one more to serve: another sender for alpha is refused, and the first serves on.
    TqrProcess second({"send", "--conference", "alpha", "--key", "k", "beta.bin"}, dir.path(), dir.path());
    EXPECT_EQ(second.wait(kStep), 3) << second.err();
    auto told = [&] { return coordinator.err().find("rejected_sender conference=alpha ") != std::string::npos; };
    EXPECT_TRUE(wait_until(told)) << coordinator.err();
    TqrProcess last(receive_args("alpha", "k", {"--output", "last"}), dir.path(), dir.path());
    ASSERT_EQ(last.wait(kStep), 0) << last.err();
    EXPECT_TRUE(read_file(dir / "last") == alpha);
    EXPECT_EQ(alpha_sender.wait(kStep), 0) << alpha_sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

// What the in-process sender below writes on every link it gets. The test sets it before it starts the
// receiver that gets it; the lock is the ordering that ThreadSanitizer can see (the real one runs
// through other processes).
std::mutex g_frame_mutex;
std::string g_frame;

void write_frame(int fd) {
    std::lock_guard<std::mutex> guard(g_frame_mutex);
    send(fd, g_frame.data(), g_frame.size(), MSG_NOSIGNAL);
}

// The plain format's header: magic, length (8 bytes) and name length (2 bytes), big-endian, then the
// name. The encrypted format meets a relay that damages it in crypto_test.
std::string plain_header(uint64_t size, const std::string& name) {
    std::string header = "TQRPAY01";
    for (int shift = 56; shift >= 0; shift -= 8) header += static_cast<char>((size >> shift) & 0xFF);
    return header + static_cast<char>(name.size() >> 8) + static_cast<char>(name.size() & 0xFF) + name;
}

TEST(TqrTest, ShortOrCorruptPayloadEndsWithFiveAndLeavesNoFile) {
    zel_set_quiet(1);
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    set_bridge_callback(write_frame);
    CallerParty sender;
    sender.run(ROLE_SENDER, "fake", "damage", "k");
    std::string payload(1000, 'x');
    const std::pair<const char*, std::string> cases[] = {
        {"short", plain_header(payload.size(), "damaged.bin") + payload.substr(0, 500)},
        {"corrupt", plain_header(payload.size(), "damaged.bin") + payload + std::string(32, '\0')}};
    for (const auto& [name, frame] : cases) {
        {
            std::lock_guard<std::mutex> guard(g_frame_mutex);
            g_frame = frame;
        }
        fs::create_directory(dir / name);
        TqrProcess receiver(receive_args("damage", "k", {"--plain"}), dir / name, dir.path());
        EXPECT_EQ(receiver.wait(kStep), 5) << name << ": " << receiver.err();
        EXPECT_TRUE(names_in(dir / name).empty()) << name;
    }
    EXPECT_TRUE(sender.negotiated);
    sender.stop();
    set_bridge_callback(nullptr);
    EXPECT_EQ(coordinator.stop(), 0);
}

// Raw parties that speak part of the handshake (maybe stopping inside a phrase) and close, some with
// a reset; a few complete it and join.
void drop_in_handshake(unsigned start, int parties) {
    std::mt19937 generator(start);
    for (int i = 0; i < parties; ++i) {
        std::string conference = "churn" + std::to_string(generator() % 5);
        std::vector<std::string> phrases =
            generator() % 2
                ? std::vector<std::string>{"TQR Caller is Sender", "TQR Sender 1.2", "From Sender join " + conference}
                : std::vector<std::string>{"TQR Caller is Endstation", "TQR Endstation 1.2", "From Endstation name raw",
                                           "From Endstation join " + conference};
        int fd = connect_to(coordinator_port());
        if (fd < 0) continue;
        if (generator() % 2 == 0) read_frame(fd, 1000);  // the coordinator's first phrase
        size_t whole = generator() % (phrases.size() + 1);
        std::string wire;
        for (size_t p = 0; p < whole; ++p) wire += phrases[p] + '\0';
        if (whole < phrases.size() && generator() % 3 == 0) wire += phrases[whole].substr(0, 1 + generator() % 8);
        send(fd, wire.data(), wire.size(), MSG_NOSIGNAL);
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
    // May still count the readiness probe's socket, which only loosens the check below.
    int before = descriptors_of(coordinator.pid());
    ASSERT_GT(before, 0);

    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 10; ++t) threads.emplace_back(drop_in_handshake, 100 + t, 30);
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(wait_until([&] { return descriptors_of(coordinator.pid()) <= before + 2; }, kStep))
        << "before " << before << ", now " << descriptors_of(coordinator.pid());
    ASSERT_TRUE(coordinator.running());

    TqrProcess sender({"send", "--conference", "after", "--key", "k", "--count", "1", "after.bin"}, dir.path(),
                      dir.path());
    TqrProcess endstation(receive_args("after", "k", {"--output", "got"}), dir.path(), dir.path());
    ASSERT_EQ(endstation.wait(kStep), 0) << endstation.err();
    EXPECT_TRUE(read_file(dir / "got") == sent);
    EXPECT_EQ(sender.wait(kStep), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(TqrTest, ExitStatusForUsageErrorsAndAMissingCoordinator) {
    TempDir dir;
    random_file(dir / "file.bin", 1024, 9);
    // Nothing listens on this port of the range.
    std::vector<std::string> nobody{"TQR_COORDINATOR_PORT=" + std::to_string(port(30)),
                                    "TQR_TOP_PORT=" + std::to_string(port(31))};
    const std::pair<std::vector<std::string>, int> cases[] = {
        {receive_args("none", "k"), 2},
        {{"send", "--conference", "none", "file.bin"}, 2},
        {receive_args("none", "k", {"--host", "no-such-host.invalid"}), 2},
        {{"receive"}, 1},
        {{"send", "--conference", "none", "missing.bin"}, 1},
        {{"send", "--conference", "none", "--key", "a", "--key-file", "b", "file.bin"}, 1},
        {{"send", "--help"}, 0}};
    for (const auto& [args, status] : cases) {
        TqrProcess tqr(args, dir.path(), dir.path(), nobody);
        EXPECT_EQ(tqr.wait(kStep), status) << testing::PrintToString(args) << ": " << tqr.err();
        if (status == 0) {
            EXPECT_NE(tqr.out().find("--conference"), std::string::npos);
        }
    }
}

TEST(TqrTest, DemoPassesAndMovesAwayFromATakenPort) {
    TempDir dir;
    int first = port(0);
    std::vector<std::string> ports{"TQR_COORDINATOR_PORT=" + std::to_string(first),
                                   "TQR_TOP_PORT=" + std::to_string(first + 20)};
    TqrProcess demo({"demo"}, dir.path(), dir.path(), ports);
    ASSERT_EQ(demo.wait(kStep), 0) << demo.out() << demo.err();
    EXPECT_NE(demo.out().find("demo passed"), std::string::npos) << demo.out();
    EXPECT_NE(demo.out().find("port " + std::to_string(first + 1)), std::string::npos) << demo.out();

    // Its coordinator port taken, the demo runs again on the next free block (still in this range).
    int taken = listen_on(first);
    ASSERT_GE(taken, 0);
    TqrProcess moved({"demo"}, dir.path(), dir.path(), ports);
    int status = moved.wait(kStep);
    close(taken);
    ASSERT_EQ(status, 0) << moved.out() << moved.err();
    EXPECT_NE(moved.out().find("listens on port " + std::to_string(first + 21)), std::string::npos) << moved.out();
}

}  // namespace
