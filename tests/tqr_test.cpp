// The `tqr` tool end to end: a real coordinator, senders and endstations, each its own process on
// loopback, and a relay in the middle of the direct link.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "harness.h"
#include "protocol/phrase.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

const milliseconds kTool = kToolStep;

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
    TqrProcess piped(receive_args("keys", {"--output", "-"}), dir.path(), {"TQR_KEY=" + key});
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
    EXPECT_EQ(coordinator.stop(), 0);
}

// `--count 1` approves one endstation only: the second one waiting is not taken on and lost, but
// handed by the coordinator to the conference's next sender.
TEST(TqrTest, ASenderWithACountApprovesNoMoreThanItServes) {
    TempDir dir;
    write_file(dir / "one.bin", random_bytes(4096, 7));
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    fs::create_directory(dir / "a");
    fs::create_directory(dir / "b");
    TqrProcess first(receive_args("count", {"--key", "k"}), dir / "a");
    TqrProcess second(receive_args("count", {"--key", "k"}), dir / "b");
    TqrProcess sender({"send", "--conference", "count", "--key", "k", "--count", "1", "one.bin"}, dir.path());
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    TqrProcess next({"send", "--conference", "count", "--key", "k", "--count", "1", "one.bin"}, dir.path());
    EXPECT_EQ(next.wait(kTool), 0) << next.err();
    EXPECT_EQ(first.wait(kTool), 0) << first.err();
    EXPECT_EQ(second.wait(kTool), 0) << second.err();
    EXPECT_EQ(coordinator.stop(), 0);
    std::vector<std::string> ok = coordinator.lines("rendezvous");
    EXPECT_EQ(std::count_if(ok.begin(), ok.end(), [](const std::string& l) { return l.find("outcome=ok") != std::string::npos; }), 2)
        << coordinator.err();
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

}  // namespace
