// What `tqr` promises the person who runs it, end to end with real processes on loopback: nothing is
// replaced unasked, a transfer cut off keeps what it had and goes on from there, a folder arrives whole,
// and whatever is wrong with the command or its settings is said before anything starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <future>
#include <thread>

#include "harness.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

const milliseconds kTool = kToolStep;
const std::string kKey = "TQR_KEY=a-long-enough-key-1234";

std::vector<std::string> files_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The number after "NAME": in the last --json event `event` of `err`.
double json_number(const std::string& err, const std::string& event, const std::string& name) {
    size_t line = err.rfind("{\"event\":\"" + event + "\"");
    if (line == std::string::npos) return -1;
    size_t at = err.find("\"" + name + "\":", line);
    return at == std::string::npos ? -1 : std::stod(err.substr(at + name.size() + 3));
}

// Before anything starts: settings, options and keys that cannot work end the command with 1 and a
// line that names the culprit, whether or not a coordinator runs (none does here).
TEST(TrustTest, WhatCannotWorkIsRefusedBeforeAnythingStarts) {
    TempDir dir;
    write_file(dir / "f", "x");
    write_file(dir / "empty", "");
    // A fifo nobody writes (read as no key at once, not waited on) and a file of another user's.
    write_file(dir / "theirs.key", "a key another user knows");
    const bool root = chown((dir / "theirs.key").c_str(), 65534, 65534) == 0;
    ASSERT_EQ(mkfifo((dir / "fifo.key").c_str(), 0666), 0);
    // Links of this user's own that lead through one of another user's, to a file and to a folder;
    // a key file that everyone may write in.
    write_file(dir / "victim", "what the other user chose");
    fs::create_symlink(dir / "victim", dir / "theirs.link");
    fs::create_symlink("/etc", dir / "theirs.dir");
    ASSERT_TRUE(!root || (lchown((dir / "theirs.link").c_str(), 65534, 65534) | lchown((dir / "theirs.dir").c_str(), 65534, 65534)) == 0);
    fs::create_symlink("theirs.link", dir / "mine.key");
    fs::create_symlink("theirs.dir", dir / "mine.dir");
    fs::create_symlink("theirs.link", dir / "\xff\u65e5\x1b.key");
    // A file of root's that another user linked into a folder everyone may write in, under the
    // name of a log or key (as fs.protected_hardlinks=0 would let them).
    fs::create_directory(dir / "sticky");
    fs::create_directory(dir / "group");
    ASSERT_EQ(chmod((dir / "sticky").c_str(), 01777) | chmod((dir / "group").c_str(), 0775), 0);
    ASSERT_EQ(link((dir / "victim").c_str(), (dir / "sticky/log").c_str()) | link((dir / "victim").c_str(), (dir / "group/k\xff\u00e9").c_str()), 0);
    write_file(dir / "shared.key", "a key anyone may have rewritten");
    ASSERT_EQ(chmod((dir / "shared.key").c_str(), 0622), 0);
    // Keys that would be taken for less than they are: cut at a NUL (--plain), or past 64 KiB.
    write_file(dir / "nul.key", std::string("\0a key after a NUL byte\n", 24));
    write_file(dir / "long.key", std::string(70000, 'k'));
    // A key file whose access list lets another user write in it, the group bits being its mask.
    write_file(dir / "acl.key", "a key uid 65534 may rewrite\n");
    const uint32_t none = 0xffffffff;
    struct __attribute__((packed)) {
        uint32_t version = 2;
        struct __attribute__((packed)) { uint16_t tag, perm; uint32_t id; } entries[5];
    } acl{2, {{0x01, 6, none}, {0x02, 6, 65534}, {0x04, 4, none}, {0x10, 6, none}, {0x20, 0, none}}};
    const bool has_acl = setxattr((dir / "acl.key").c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) == 0;
    // The same list with that user's entry read-only: only the owner's own group writes, and it is taken.
    write_file(dir / "read.key", "a key uid 65534 may read\n");
    acl.entries[1].perm = 4;
    const bool has_read_acl = setxattr((dir / "read.key").c_str(), "system.posix_acl_access", &acl, sizeof acl, 0) == 0;
    struct Case {
        std::vector<std::string> args;
        std::string env;
        int status;
        std::string says;
    };
    std::vector<Case> cases = {
        {{"send", "--plain", "--conference", "c", "--key-file", "nul.key", "f"}, "", 1, "holds a NUL byte, which --plain cannot carry"},
        {{"send", "--conference", "c", "--key-file", "long.key", "f"}, "", 1, "has no line end in its first 64 KiB"},
        // Through a link of procfs, which leads to the folder itself and not to the name it reads as.
        {{"send", "--conference", "c", "--key-file", "/proc/self/cwd/mine.dir/hostname", "f"}, "", 1,
         "theirs.dir, a symbolic link of another user (uid 65534)"},
        {{"/bin/sh", "-c", "exec \"$0\" receive -o /dev/stdin 5-beam-bed-beef <&-", ZEL_TQR_PATH}, "", 1,
         "standard input is closed: the payload would go nowhere"},
        {{"receive", "--conference", "c"}, "TQR_COORDINATOR_PORT=abc", 1, "TQR_COORDINATOR_PORT=\"abc\" is not a whole number from 0 to 65535"},
        {{"send", "--conference", "c", "f"}, "TQR_TOP_PORT=86936", 1, "TQR_TOP_PORT"},
        {{"coordinator"}, "TQR_LISTEN_TIMEOUT=-5", 1, "TQR_LISTEN_TIMEOUT"},
        {{"coordinator"}, "TQR_MAX_THREADS=12x", 1, "TQR_MAX_THREADS"},
        // Refused, not read as 1215752191 ports to build a pool of when the library loads.
        {{"coordinator"}, "TQR_TOP_PORT=99999999999", 1, "TQR_TOP_PORT=\"99999999999\" is not a whole number"},
        {{"coordinator"}, "TQR_MAX_PARTIES_PER_SOURCE=1e9", 1, "TQR_MAX_PARTIES_PER_SOURCE"},
        {{"coordinator"}, "TQR_REMOTE_SENDERS=yes", 1, "TQR_REMOTE_SENDERS"},
        {{"send", "--conference", "c", "--key-file", "empty", "f"}, "", 1, "is empty"},
        {{"receive", "--conference", "c", "--key-file", "fifo.key"}, "", 1, "the key file fifo.key is a fifo that nobody wrote a key to"},
        {{"coordinator", "--log", "fifo.key"}, "", 1, "cannot open log file fifo.key: it is a fifo that nobody reads"},
        {{"coordinator", "--log", "theirs.key"}, "", 1, "cannot open log file theirs.key: it belongs to another user (uid 65534)"},
        {{"send", "--conference", "c", "--key-file", "/dev/zero", "f"}, "", 1, "the key file /dev/zero is not a regular file or a pipe"},
        {{"send", "--conference", "c", "--key-file", "theirs.key", "f"}, "", 1,
         "the key file theirs.key belongs to another user (uid 65534), who may know the key"},
        {{"send", "--conference", "c", "--key-file", "mine.key", "f"}, "", 1, "the key file mine.key leads through "},
        {{"send", "--conference", "c", "--key-file", "\xff\u65e5\x1b.key", "f"}, "", 1,
         "the key file \\xff\u65e5\\x1b.key leads through "},
        {{"send", "--conference", "c", "--key-file", "mine.dir/hostname", "f"}, "", 1, "theirs.dir, a symbolic link of another user (uid 65534)"},
        {{"coordinator", "--log", "mine.key"}, "", 1, "cannot open log file mine.key: mine.key leads through "},
        {{"coordinator", "--log", "sticky/log"}, "", 1,
         "sticky/log has a second name (a hard link), in a folder that other users may write in"},
        {{"send", "--conference", "c", "--key-file", "group/k\xff\u00e9", "f"}, "", 1, "the key file group/k\\xff\u00e9 has a second name"},
        // A name that ends in a slash is a folder's: no file of that name is made.
        {{"coordinator", "--log", "new.log/"}, "", 1, "cannot open log file new.log/: it is not a regular file"},
        {{"send", "--conference", "c", "--key-file", "shared.key", "f"}, "", 1,
         "the key file shared.key may be written by other users, who could choose the key"},
        // Standard output closed, and named by a link to it: the payload would be lost, both sides content.
        {{"/bin/sh", "-c", "exec \"$0\" receive -o /dev/fd/1 5-beam-bed-beef >&-", ZEL_TQR_PATH}, "", 1,
         "standard output is closed: the payload would go nowhere"},
        {{"receive", "--conference", "c"}, "TQR_KEY=", 1, "is empty"},
        {{"receive", "--conference", "c"}, "", 1, "needs a key"},
        {{"send", "--plain", "--conference", "c", "f"}, "", 1, "needs a key"},
        {{"send", "--key", "k", "f"}, "", 1, "--key, --key-file and --plain go with --conference"},
        {{"receive", "--conference", ""}, kKey, 1, "--conference: is empty"},
        {{"receive", "--conference", "c", "--output", "no/such/folder/x"}, kKey, 1, "there is no folder no/such/folder"},
        {{"send", "--host", "::1", "f"}, "", 1, "IPv6 is not supported"},
        {{"send", "--host", "h:7200", "f"}, "", 1, "without a port"},
        {{"send", "--count", "-1", "f"}, "", 1, "not in range 0 to 1000000000"},
        {{"coordinator"}, "TQR_STALL_TIMEOUT=5\x1b[2J\xff", 1, "TQR_STALL_TIMEOUT=\"5\\x1b[2J\\xff\" is not"},
        {{"send", "--\x1b]0;t\x07\u65e5\u672c", "f"}, "", 1, "--\\x1b]0;t\\x07\u65e5\u672c"},
        {{"coordinator", "--metrics", "127.0.0.1:1\x9b" "2J"}, "", 1, "127.0.0.1:1\\x9b2J is not"},
        {{"--version"}, "", 0, ""},
        {{"receive", "--conference", "c", "--key", "short"}, "TQR_SEND_TIMEOUT=5", 2, "makes a code that cannot"},
    };
    if (has_acl)
        cases.push_back({{"send", "--conference", "c", "--key-file", "acl.key", "f"}, "", 1,
                         "the key file acl.key may be written by other users, who could choose the key"});
    if (has_read_acl)
        cases.push_back({{"receive", "--conference", "c", "--key-file", "read.key"}, "", 2, "cannot reach the coordinator"});
    for (const Case& c : cases) {
        if (!root && (c.says.find("another user") != std::string::npos || c.says.find("leads through") != std::string::npos))
            continue;
        SCOPED_TRACE(c.args[0] + " " + c.env);
        TqrProcess tqr(c.args, dir.path(), c.env.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.env});
        EXPECT_EQ(tqr.wait(kTool), c.status) << tqr.err();
        EXPECT_NE(tqr.err().find(c.says), std::string::npos) << tqr.err();
        EXPECT_EQ(tqr.err().find_first_of("\x1b\x07\x9b"), std::string::npos) << tqr.err();
        if (c.args[0] == "--version") {
            EXPECT_EQ(tqr.out().rfind("tqr ", 0), 0u) << tqr.out();
        }
    }
}

// The sender's name is only a proposal: reduced to a plain file name, never put over an existing file
// without --force, and not taken when hidden or a device name unless --output names the target.
TEST(TrustTest, NothingIsReplacedOrHiddenUnasked) {
    TempDir dir;
    write_file(dir / "payload", random_bytes(100000, 3));
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    struct Case {
        std::string offered;
        bool existing;
        std::vector<std::string> more;
        int status;
        std::string stored;  // where the payload must be afterwards ("": nowhere)
    };
    const Case cases[] = {
        {"report.txt", true, {}, 1, ""},
        {"report.txt", true, {"--force"}, 0, "report.txt"},
        {".bashrc", false, {}, 1, ""},
        {".bashrc", false, {"--output", ".bashrc"}, 0, ".bashrc"},
        {"CON.txt", false, {}, 1, ""},
        {std::string(300, 'n'), false, {}, 1, ""},  // longer than a file name may be
        {"../../up/escape.txt", false, {}, 0, "escape.txt"},
    };
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offered + (c.more.empty() ? "" : " " + c.more[0]));
        std::string conference = "names" + std::to_string(++round), folder = dir / conference;
        fs::create_directory(folder);
        const std::string mine = "the receiver's own file";
        if (c.existing) write_file(folder + "/" + c.offered, mine);
        TqrProcess sender({"send", "--conference", conference, "--count", "1", "--name", c.offered, "payload"},
                          dir.path(), {kKey});
        std::vector<std::string> args{"receive", "--conference", conference};
        args.insert(args.end(), c.more.begin(), c.more.end());
        TqrProcess receiver(args, folder, {kKey});
        ASSERT_EQ(receiver.wait(kTool), c.status) << receiver.err();
        if (c.status == 0) {
            EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
            EXPECT_TRUE(read_file(folder + "/" + c.stored) == read_file(dir / "payload"));
            EXPECT_NE(receiver.err().find(c.stored + ": 97.7 KiB in "), std::string::npos) << receiver.err();
            EXPECT_EQ(files_in(folder), std::vector<std::string>{c.stored});
        } else {
            // A declined payload is not served: the sender waits on for another endstation.
            EXPECT_TRUE(sender.running());
            sender.signal(SIGTERM);
            EXPECT_EQ(sender.wait(kTool), 143);
            EXPECT_EQ(files_in(folder).size(), c.existing ? 1u : 0u);
            if (c.existing) {
                EXPECT_EQ(read_file(folder + "/" + c.offered), mine);
            }
            EXPECT_NE(receiver.err().find(c.existing ? "--force" : "--output"), std::string::npos) << receiver.err();
        }
    }
    EXPECT_EQ(coordinator.stop(), 0);
}

// Interrupts a receive of `output` half-way: a relay on the direct link (ports `front`, `front` + 1)
// passes the first `limit` bytes toward the receiver and then holds the link until the receiver is
// gone, running `meanwhile` while it holds it. The receive must end with 128 + `signal` and leave only
// the part.
void interrupt_half_way(const TempDir& dir, const std::string& output, int front, size_t limit,
                        const std::function<void()>& meanwhile = nullptr, int signal = SIGINT) {
    std::promise<void> held;
    Relay relay(free_port(front), free_port(front + 1), [&](int endstation, int sender) {
        std::thread back([&] { Relay::pump(endstation, sender, nullptr); });
        char buffer[65536];
        for (size_t passed = 0; passed < limit;) {
            ssize_t n = recv(sender, buffer, std::min(sizeof buffer, limit - passed), 0);
            if (n <= 0 || send(endstation, buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            passed += static_cast<size_t>(n);
        }
        held.set_value();
        back.join();
        shutdown(sender, SHUT_RDWR);
    });
    ASSERT_TRUE(relay.start());
    TqrProcess receiver({"receive", "--conference", "resume", "--json", "--output", output}, dir / "in",
                        {kKey, "TQR_COORDINATOR_PORT=" + std::to_string(free_port(front))});
    ASSERT_EQ(held.get_future().wait_for(kTool), std::future_status::ready);
    ASSERT_TRUE(receiver.wait_for_err("\"event\":\"progress\"", kTool)) << receiver.err();
    if (meanwhile) meanwhile();
    receiver.signal(signal);
    EXPECT_EQ(receiver.wait(kTool), 128 + signal) << receiver.err();
    EXPECT_NE(receiver.err().find("the same command again continues"), std::string::npos) << receiver.err();
    relay.join();
    std::vector<std::string> left = files_in(dir / "in");
    EXPECT_NE(std::find(left.begin(), left.end(), output + ".tqr-part"), left.end());
    EXPECT_FALSE(fs::exists(dir / ("in/" + output)));
}

// Cut off half-way, a receive leaves NAME.tqr-part and nothing under NAME; the same receive again
// asks the sender for the rest only. A part of a file that changed since is discarded, and the file
// comes whole. Interrupted, the sender says how many it served.
TEST(TrustTest, AnInterruptedReceiveContinuesWhereItStoppedUnlessTheFileChanged) {
    TempDir dir;
    fs::create_directory(dir / "in");
    const size_t size = 16 << 20;
    write_file(dir / "data.bin", random_bytes(size, 1));
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    TqrProcess sender({"send", "--conference", "resume", "data.bin"}, dir.path(), {kKey});

    interrupt_half_way(dir, "data.bin", 0, size / 2);
    std::vector<std::string> again{"receive", "--conference", "resume", "--json", "--output", "data.bin"};
    TqrProcess rest(again, dir / "in", {kKey});
    ASSERT_EQ(rest.wait(kTool), 0) << rest.err();
    double kept = json_number(rest.err(), "done", "kept"), moved = json_number(rest.err(), "done", "bytes");
    EXPECT_GT(kept, 0);
    EXPECT_LE(kept, size / 2);
    EXPECT_EQ(kept + moved, size);
    EXPECT_TRUE(read_file(dir / "in/data.bin") == read_file(dir / "data.bin"));
    EXPECT_EQ(files_in(dir / "in"), std::vector<std::string>{"data.bin"});

    // The file changes while the sender serves on (the receiver cut off by a hang-up this time): the
    // part is no longer the start of it, the sender says so, and the part goes.
    interrupt_half_way(dir, "copy.bin", 2, size / 2, nullptr, SIGHUP);
    write_file(dir / "data.bin", random_bytes(size, 2));
    again.back() = "copy.bin";
    TqrProcess whole(again, dir / "in", {kKey});
    ASSERT_EQ(whole.wait(kTool), 0) << whole.err();
    EXPECT_NE(whole.err().find("discarded copy.bin.tqr-part"), std::string::npos) << whole.err();
    EXPECT_EQ(json_number(whole.err(), "done", "bytes"), size);
    EXPECT_TRUE(read_file(dir / "in/copy.bin") == read_file(dir / "data.bin"));
    // Grown since it was offered: nobody gets a copy cut to the size the offer announces.
    write_file(dir / "data.bin", random_bytes(size + 4096, 3));
    again.back() = "grown.bin";
    TqrProcess grown(again, dir / "in", {kKey});
    EXPECT_EQ(grown.wait(kTool), 5) << grown.err();
    EXPECT_FALSE(fs::exists(dir / "in/grown.bin"));
    sender.signal(SIGTERM);
    EXPECT_EQ(sender.wait(kTool), 143);
    EXPECT_NE(sender.err().find("interrupted (SIGTERM), 2 served"), std::string::npos) << sender.err();
    EXPECT_NE(sender.err().find("data.bin changed while it was sent to 127.0.0.1:"), std::string::npos) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

// While a transfer that was cut off still holds the place of a --count sender, an endstation that
// comes is told so (the coordinator drops a sender that leaves a nomination unanswered), and the
// sender stays for the receiver that was cut off to continue.
TEST(TrustTest, ACutReceiverContinuesWhileItsPlaceTurnsAnotherAway) {
    TempDir dir;
    fs::create_directory(dir / "in");
    fs::create_directory(dir / "other");
    const size_t size = 8 << 20;
    write_file(dir / "data.bin", random_bytes(size, 4));
    ToolCoordinator coordinator(dir, {"TQR_LISTEN_TIMEOUT=3"});
    ASSERT_TRUE(coordinator.ready());
    TqrProcess sender({"send", "--conference", "resume", "--count", "1", "data.bin"}, dir.path(), {kKey});
    interrupt_half_way(dir, "data.bin", 7, size / 2, [&] {
        TqrProcess other({"receive", "--conference", "resume"}, dir / "other", {kKey});
        EXPECT_EQ(other.wait(kTool), 4) << other.err();
        EXPECT_NE(other.err().find("taken by transfers under way"), std::string::npos) << other.err();
    });
    TqrProcess rest({"receive", "--conference", "resume", "--json", "--output", "data.bin"}, dir / "in", {kKey});
    ASSERT_EQ(rest.wait(kTool), 0) << rest.err();
    EXPECT_GT(json_number(rest.err(), "done", "kept"), 0);
    EXPECT_TRUE(read_file(dir / "in/data.bin") == read_file(dir / "data.bin"));
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_TRUE(fs::is_empty(dir / "other"));
    EXPECT_EQ(coordinator.stop(), 0);
}

// A receiver says what it waits for, gives up at --timeout, and knows a port that answers but speaks
// something else.
TEST(TrustTest, AReceiverSaysWhatItWaitsForAndWhenToGiveUp) {
    TempDir dir;
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    TqrProcess lonely({"receive", "--conference", "nobody", "--timeout", "2"}, dir.path(), {kKey});
    EXPECT_EQ(lonely.wait(kTool), 6) << lonely.err();
    EXPECT_NE(lonely.err().find("waiting for a sender of conference nobody (is the code right?); giving up after 2 s"),
              std::string::npos) << lonely.err();
    int silent = listen_on(free_port(5));
    ASSERT_GE(silent, 0);
    std::string port = std::to_string(free_port(5));
    TqrProcess confused({"receive", "--conference", "c", "--host", "127.0.0.1"}, dir.path(),
                        {kKey, "TQR_COORDINATOR_PORT=" + port, "TQR_HANDSHAKE_TIMEOUT=1"});
    EXPECT_EQ(confused.wait(kTool), 2) << confused.err();
    EXPECT_NE(confused.err().find("127.0.0.1:" + port + " does not speak this protocol"), std::string::npos) << confused.err();
    close(silent);
    // A code's lines name the code, never its conference; it waits 30 s unless --timeout says otherwise,
    // and where nothing answers, no tqr send serves it any more.
    const std::string code = "555-guitar-ocean-tulip", at = " 555-... at 127.0.0.1", none = std::to_string(free_port(6));
    TqrProcess unserved({"receive", "--host", "127.0.0.1", "--timeout", "1", code}, dir.path());
    TqrProcess patient({"receive", "--host", "127.0.0.1", code}, dir.path());
    TqrProcess stopped({"receive", "--host", "127.0.0.1", code}, dir.path(), {"TQR_COORDINATOR_PORT=" + none});
    EXPECT_EQ(unserved.wait(kTool), 6) << unserved.err();
    EXPECT_TRUE(patient.wait_for_err("nobody serves" + at + " yet; giving up after 30 s (--timeout)\n", kTool));
    patient.signal(SIGTERM);
    EXPECT_EQ(stopped.wait(kTool), 2) << stopped.err();
    for (const std::string& line : {"nobody serves" + at + " yet; giving up after 1 s (--timeout)\n",
                                    "no sender serves code" + at + " (mistyped? or the sender has stopped)\n"})
        EXPECT_NE(unserved.err().find(line), std::string::npos) << unserved.err();
    EXPECT_NE(stopped.err().find("nothing answers at 127.0.0.1 port " + none + ": no tqr send serves code 555-... "
                                 "there any more (it has stopped, or runs on another machine: --host)\n"),
              std::string::npos) << stopped.err();
    EXPECT_EQ(patient.wait(kTool), 143);
    for (TqrProcess* receiver : {&unserved, &patient, &stopped}) EXPECT_EQ(receiver->err().find("tqr-code"), std::string::npos);
    EXPECT_EQ(coordinator.stop(), 0);
}

// What a folder holds, as a walk lists it: each entry's relative path (its bytes), type and content.
std::vector<std::string> walk(const std::string& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        found.push_back(entry.path().lexically_relative(folder).native() +
                        (entry.is_directory() ? "/" : " = " + read_file(entry.path())));
    std::sort(found.begin(), found.end());
    return found;
}

// Every name a file system allows travels exactly, in a folder and as a single file, in each locale,
// and the lines show it escaped.
TEST(TrustTest, EveryNameTravelsExactlyInEveryLocale) {
    std::string longest;  // 255 bytes, as long as a name may be: its part's name is cut to fit
    for (int i = 0; i < 85; ++i) longest += "日";
    const std::vector<std::string> names{"naïve.txt", "日本.txt", "Кириллица Ελληνικά", "عربي.txt", "😀", " a  b ",
                                         "new\nline", "\xff\xfe.bin", "caf\xe9", "tab\t\x1b[31m", "\x7f\x01",
                                         longest};
    const std::string top = "dossier é \xff";
    TempDir dir;
    fs::create_directories(dir / (top + "/é"));
    std::vector<std::string> singles, paths{top};
    for (const std::string& name : names) {
        write_file(dir / (top + "/" + name), name);
        write_file(dir / (top + "/é/" + name), name + "!");
        singles.push_back(name + " = " + name);
        paths.push_back(top + "/" + name);
    }
    std::sort(singles.begin(), singles.end());
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    int round = 0;
    for (const char* locale : {"", "C", "C.UTF-8"}) {
        SCOPED_TRACE(locale);
        const std::vector<std::string> env{"LANG=", std::string("LC_ALL=") + locale, kKey};
        std::string in = dir / ("in" + std::string(locale));
        fs::create_directories(in + "/files");
        std::vector<std::unique_ptr<TqrProcess>> senders, receivers;
        for (const std::string& path : paths) {
            std::string conference = "n" + std::to_string(++round);
            senders.emplace_back(new TqrProcess({"send", "--conference", conference, "--count", "1", path}, dir.path(), env));
            receivers.emplace_back(new TqrProcess({"receive", "--conference", conference}, path == top ? in : in + "/files", env));
        }
        for (size_t i = 0; i < paths.size(); ++i) {
            EXPECT_EQ(receivers[i]->wait(kTool), 0) << receivers[i]->err();
            EXPECT_EQ(senders[i]->wait(kTool), 0) << senders[i]->err();
            for (const char* raw : {"\xff", "\x1b", "\x7f", "new\nline"})
                EXPECT_EQ((receivers[i]->err() + senders[i]->err()).find(raw), std::string::npos) << receivers[i]->err();
        }
        EXPECT_EQ(walk(in + "/" + top), walk(dir / top));
        EXPECT_EQ(walk(in + "/files"), singles);
    }
    EXPECT_EQ(coordinator.stop(), 0);
}

// A folder of a thousand small files and a few large ones arrives whole and identical under its own
// name (its modes and times: tree_test).
TEST(TrustTest, AFolderArrivesWholeUnderItsOwnName) {
    TempDir dir;
    for (int i = 0; i < 1000; ++i) {
        std::string sub = dir / ("tree/d" + std::to_string(i % 10));
        fs::create_directories(sub);
        write_file(sub + "/f" + std::to_string(i), random_bytes(static_cast<size_t>(i % 97), static_cast<unsigned>(i)));
    }
    for (int i = 0; i < 3; ++i) write_file(dir / ("tree/large" + std::to_string(i)), random_bytes(5 << 20, 50u + i));
    symlink("d1/f1", (dir / "tree/link").c_str());
    fs::create_directory(dir / "in");
    // Beside it, what receives of it left: one killed (told of, and kept: nothing proves a receive made
    // it), one under way (it holds its lock), and one that others may read (not one a receive made).
    const std::string killed = ".tree.tqr-tree-k1ll3d", held = ".tree.tqr-tree-h0ld3n", open = ".tree.tqr-tree-0p3n00";
    for (const std::string& left : {killed, held, open}) {
        fs::create_directories(dir / ("in/" + left + "/d0"));
        write_file(dir / ("in/" + left + "/d0/f0"), random_bytes(1 << 20, 9));
        chmod((dir / ("in/" + left)).c_str(), left == open ? 0755 : 0700);
    }
    int holder = ::open((dir / ("in/" + held)).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    TqrProcess sender({"send", "--conference", "tree", "tree"}, dir.path(), {kKey});
    TqrProcess receiver({"receive", "--conference", "tree"}, dir / "in", {kKey});
    ASSERT_EQ(receiver.wait(kTool), 0) << receiver.err();
    close(holder);
    RunResult diff = run("diff -r --no-dereference " + quote(dir / "tree") + " " + quote(dir / "in/tree"));
    EXPECT_EQ(diff.status, 0) << diff.output;
    EXPECT_EQ(files_in(dir / "in"), (std::vector<std::string>{open, held, killed, "tree"}));
    EXPECT_NE(receiver.err().find(killed + " is what an earlier receive of it left"), std::string::npos) << receiver.err();
    EXPECT_EQ(receiver.err().find(held + " is what"), std::string::npos) << receiver.err();
    sender.signal(SIGINT);
    EXPECT_EQ(sender.wait(kTool), 130);

    // The folder is walked while its sender joins: one that cannot go whole ends the sender with the
    // reason, and a receiver that came meanwhile gets nothing of it.
    std::string deep = dir / "deep";
    for (int i = 0; i <= 512; ++i) deep += "/d";
    fs::create_directories(deep);
    write_file(deep + "/f", "x");
    fs::create_directory(dir / "in2");
    TqrProcess early({"receive", "--conference", "deep", "--timeout", "3"}, dir / "in2", {kKey});
    TqrProcess refusing({"send", "--conference", "deep", "deep"}, dir.path(), {kKey});
    EXPECT_EQ(refusing.wait(kTool), 1) << refusing.err();
    EXPECT_NE(refusing.err().find("cannot send deep: its folders nest more than 512 deep\n"), std::string::npos)
        << refusing.err();
    const int early_status = early.wait(kTool);
    EXPECT_TRUE(early_status == 4 || early_status == 6) << early.err();
    EXPECT_TRUE(fs::is_empty(dir / "in2"));
    EXPECT_EQ(coordinator.stop(), 0);
}

// Another user's part in a shared folder is left alone (1), or with --force replaced by one of the
// receiver's own; what the disk cannot hold is declined before its first byte (1), and a stream stops
// before the disk is full (5), leaving nothing behind. As root: a second user and a small tmpfs.
TEST(TrustTest, AReceiverStoresOnlyItsOwnFilesAndNothingTheDiskCannotHold) {
    if (geteuid() != 0) GTEST_SKIP() << "a second user (uid 65534) and a tmpfs need the tests to run as root";
    TempDir dir;
    fs::create_directories(dir / "small");
    fs::create_directories(dir / "tree");
    if (run("mount -t tmpfs -o size=8m tmpfs " + quote(dir / "small")).status != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    struct Unmount {
        std::string at;
        ~Unmount() { run("umount " + quote(at)); }
    } unmount{dir / "small"};
    const std::string planted = dir / "shared/big.bin.tqr-part";
    fs::create_directory(dir / "shared");
    write_file(dir / "big.bin", random_bytes(16 << 20, 7)), write_file(dir / "tree/f", random_bytes(10 << 20, 8));
    write_file(planted, "");
    ASSERT_EQ(chmod((dir / "shared").c_str(), 01777) | chown(planted.c_str(), 65534, 65534) | chmod(planted.c_str(), 0666), 0);
    // Another user's shared folder, whose owner may rename what is written in it, and a link of another
    // user to the receiver's own private folder, in a shared folder of the system's.
    for (const char* folder : {"theirs", "drop", "mine", "grouped", "listed"}) fs::create_directory(dir / folder);
    // root's own 0775 folder whose access list lets uid 65534 write: tag, permissions and id of its
    // owner, the named user, its group, the mask and the others.
    std::string acl("\x02\0\0\0", 4);
    const uint32_t entries[][3] = {{1, 7, ~0u}, {2, 7, 65534}, {4, 5, ~0u}, {0x10, 7, ~0u}, {0x20, 5, ~0u}};
    for (const auto& entry : entries) {
        uint16_t head[2] = {static_cast<uint16_t>(entry[0]), static_cast<uint16_t>(entry[1])};
        acl.append(reinterpret_cast<const char*>(head), 4).append(reinterpret_cast<const char*>(&entry[2]), 4);
    }
    bool listed = setxattr((dir / "listed").c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) == 0;
    ASSERT_EQ(chmod((dir / "theirs").c_str(), 01777) | chown((dir / "theirs").c_str(), 65534, 65534) |
                  chown((dir / "grouped").c_str(), 0, 65534) | chmod((dir / "grouped").c_str(), 0775) |
                  chmod((dir / "drop").c_str(), 01777) | chmod((dir / "mine").c_str(), 0700) |
                  symlink((dir / "mine").c_str(), (dir / "drop/inbox").c_str()) |
                  lchown((dir / "drop/inbox").c_str(), 65534, 65534),
              0);
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    struct Case {
        std::string sent, folder;
        bool force;
        int status;
        std::string says;
        std::string output = "";
    };
    const Case cases[] = {
        {"tree", "theirs", false, 1, "theirs is a shared folder of another user (uid 65534), so others could redirect"},
        {"tree", "grouped", false, 1, "the members of group 65534 may write in "},
        {"tree", "listed", false, 1, "the users or groups that the access list of "},
        {"big.bin", "drop", true, 1, "inbox is a symbolic link of another user (uid 65534)", "inbox"},
        {"big.bin", "drop", true, 1, "inbox is a symbolic link of another user (uid 65534)", "inbox/./got"},
        {"big.bin", "shared", false, 1, "left big.bin.tqr-part alone: it belongs to another user (uid 65534)"},
        {"big.bin", "shared", true, 0, "removed big.bin.tqr-part: it belongs to another user (uid 65534)"},
        {"big.bin", "small", false, 1, "big.bin needs 16.0 MiB, 8.0 MiB free"},
        {"tree", "small", false, 1, "tree needs 10.0 MiB, 8.0 MiB free"},
        {"-", "small", false, 5, "stopped before the disk of "},
    };
    int round = 0;
    for (const Case& c : cases) {
        if (c.folder == "listed" && !listed) continue;  // a file system without access lists
        SCOPED_TRACE(c.sent + " into " + c.folder);
        std::string conference = "space" + std::to_string(++round);
        // Standard input /dev/zero: a stream without end.
        TqrProcess sender({"send", "--count", c.sent == "-" ? "1" : "0", "--conference", conference, c.sent}, dir.path(),
                          {kKey}, "/dev/zero");
        std::vector<std::string> args{"receive", "--conference", conference};
        if (c.force) args.push_back("--force");
        if (!c.output.empty()) args.insert(args.end(), {"-o", c.output});
        TqrProcess receiver(args, dir / c.folder, {kKey});
        EXPECT_EQ(receiver.wait(kTool), c.status) << receiver.err();
        EXPECT_NE(receiver.err().find(c.says), std::string::npos) << receiver.err();
        // A link at --output is refused before the rendezvous; the rest once the offer came.
        if (c.status == 1 && c.output.empty()) {
            EXPECT_TRUE(sender.wait_for_err("an endstation declined", kTool)) << sender.err();
        }
    }
    // Another user's drop folder, swapped for that user's link to the receiver's private folder once
    // the receive has checked it: nothing goes where the link leads; the same sender then serves a
    // receive into the folder itself.
    fs::create_directory(dir / "drop/box");
    ASSERT_EQ(chown((dir / "drop/box").c_str(), 65534, 65534) | chmod((dir / "drop/box").c_str(), 0777), 0);
    TqrProcess swapped({"receive", "--conference", "swap", "-o", "box"}, dir / "drop", {kKey});
    ASSERT_TRUE(swapped.wait_for_err("waiting for a sender of conference swap", kTool)) << swapped.err();
    fs::rename(dir / "drop/box", dir / "drop/box.old");
    ASSERT_EQ(symlink((dir / "mine").c_str(), (dir / "drop/box").c_str()) | lchown((dir / "drop/box").c_str(), 65534, 65534), 0);
    TqrProcess offer({"send", "--count", "1", "--conference", "swap", "big.bin"}, dir.path(), {kKey});
    EXPECT_EQ(swapped.wait(kTool), 1) << swapped.err();
    EXPECT_NE(swapped.err().find("box was moved or replaced since tqr receive began; nothing was written"), std::string::npos)
        << swapped.err();
    TqrProcess honest({"receive", "--conference", "swap", "-o", "box.old"}, dir / "drop", {kKey});
    EXPECT_EQ(honest.wait(kTool), 0) << honest.err();
    EXPECT_TRUE(read_file(dir / "drop/box.old/big.bin") == read_file(dir / "big.bin"));
    EXPECT_EQ(offer.wait(kTool), 0) << offer.err();
    EXPECT_TRUE(files_in(dir / "small").empty());
    EXPECT_TRUE(files_in(dir / "theirs").empty());
    EXPECT_TRUE(files_in(dir / "mine").empty());
    struct stat taken {};
    ASSERT_EQ(stat((dir / "shared/big.bin").c_str(), &taken), 0);
    EXPECT_EQ(taken.st_uid, 0u);
    EXPECT_EQ(taken.st_mode & 0777, 0644u);
    EXPECT_TRUE(read_file(dir / "shared/big.bin") == read_file(dir / "big.bin"));
    EXPECT_EQ(files_in(dir / "shared"), std::vector<std::string>{"big.bin"});
    EXPECT_EQ(coordinator.stop(), 0);
}

// A fifo that --output names is written only when someone reads it, only when it is the receiver's
// own (or the system's), and a reader that stops reading holds the receiver no longer than it wants.
TEST(TrustTest, AFifoNamedByOutputIsWrittenOnlyWhileItsOwnReaderReads) {
    TempDir dir;
    const std::string payload = random_bytes(1 << 20, 9);
    write_file(dir / "f", payload);
    fs::create_directory(dir / "drop");
    const std::string fifo = dir / "drop/fifo", planted = dir / "drop/planted";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600) | chmod((dir / "drop").c_str(), 01777), 0);
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    TqrProcess sender({"send", "--conference", "fifo", "--count", "1", "f"}, dir.path(), {kKey});
    auto receive = [&](const std::string& output) {
        return std::make_unique<TqrProcess>(std::vector<std::string>{"receive", "--conference", "fifo", "-o", output},
                                            dir.path(), std::vector<std::string>{kKey});
    };
    auto nobody = receive(fifo);
    EXPECT_EQ(nobody->wait(kTool), 1);
    EXPECT_NE(nobody->err().find("is a fifo that nobody reads"), std::string::npos) << nobody->err();
    if (geteuid() == 0) {
        ASSERT_EQ(mkfifo(planted.c_str(), 0666) | chown(planted.c_str(), 65534, 65534), 0);
        auto foreign = receive(planted);
        EXPECT_EQ(foreign->wait(kTool), 1);
        EXPECT_NE(foreign->err().find("belongs to another user (uid 65534)"), std::string::npos) << foreign->err();
    }
    // A reader that takes one byte and no more: the interrupt still ends the receiver at once.
    int held = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    auto stalled = receive(fifo);
    char first;
    EXPECT_EQ(read(held, &first, 1), 1);
    stalled->signal(SIGINT);
    EXPECT_EQ(stalled->wait(kTool), 130) << stalled->err();
    close(held);
    std::future<std::string> read = std::async(std::launch::async, [&] { return read_file(fifo); });
    auto reading = receive(fifo);
    EXPECT_EQ(reading->wait(kTool), 0) << reading->err();
    EXPECT_TRUE(read.get() == payload);
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}


// A text goes to standard output whatever --output says: a terminal that is never read holds the
// receiver until an interruption or its stall limit, whichever comes first; so does a socket. An
// unencrypted payload, copied out once checked, waits for its reader until an interruption. With
// --json and standard output closed, the text is in its event alone.
TEST(TrustTest, StandardOutputIsWaitedForNoLongerThanTheReceiverWants) {
    TempDir dir;
    ToolCoordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string text;
    for (int i = 0; i < 9000; ++i) text += "\xc3\xa9\xe6\x97\xa5\xff\n";  // escaped on a terminal
    write_file(dir / "plain", random_bytes(1 << 20, 5));
    // A terminal, interrupted or stalled; a socket (inherited as itself), interrupted; a terminal
    // that gets a --plain payload, interrupted.
    for (int row = 0; row < 4; ++row) {
        const bool interrupted = row != 1, socket = row == 2, plain = row == 3;
        SCOPED_TRACE(socket ? "socket" : plain ? "plain" : interrupted ? "terminal, interrupted" : "terminal, stalled");
        TqrProcess sender(plain ? std::vector<std::string>{"send", "--conference", "text", "--count", "1", "--plain", "plain"}
                                : std::vector<std::string>{"send", "--conference", "text", "--count", "1", "--text", text},
                          dir.path(), {kKey});
        int reader = -1, ends[2] = {-1, -1};
        std::string output;
        if (socket) {
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
            int smallest = 4096;
            setsockopt(ends[1], SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);
            fcntl(reader = ends[0], F_SETFD, FD_CLOEXEC);
            output = ">&" + std::to_string(ends[1]);
        } else {
            reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_TRUE(reader >= 0 && grantpt(reader) == 0 && unlockpt(reader) == 0);
            output = ">\"$1\"";
        }
        TqrProcess receiver({"/bin/bash", "-c", std::string("exec \"$0\" receive --conference text ") + (plain ? "--plain -o - " : "") + output, ZEL_TQR_PATH,
                             socket ? "" : ptsname(reader)},
                            dir.path(), {kKey, interrupted ? "TQR_STALL_TIMEOUT=600" : "TQR_STALL_TIMEOUT=1"});
        if (socket) close(ends[1]);
        pollfd written{reader, POLLIN, 0};
        ASSERT_EQ(poll(&written, 1, 10000), 1);  // its first bytes: it writes
        if (interrupted) receiver.signal(SIGINT);
        EXPECT_EQ(receiver.wait(kTool), interrupted ? 130 : 1);
        EXPECT_NE(receiver.err().find(interrupted ? "interrupted (SIGINT)"
                                                  : "cannot write the text to standard output: standard output took "
                                                    "nothing for 1 s (TQR_STALL_TIMEOUT)"),
                  std::string::npos) << receiver.err();
        close(reader);
        sender.signal(SIGINT);
        sender.wait(kTool);
    }
    TqrProcess sender({"send", "--conference", "text", "--count", "1", "--text", "h\xc3\xa9\xff"}, dir.path(), {kKey});
    TqrProcess closed({"/bin/sh", "-c", "exec \"$0\" receive --json --conference text >&-", ZEL_TQR_PATH}, dir.path(), {kKey});
    EXPECT_EQ(closed.wait(kTool), 0) << closed.err();
    EXPECT_NE(closed.err().find("\"text\":\"h\xc3\xa9\\\\xff\""), std::string::npos) << closed.err();
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}


// A reader of the log's fifo that stops reading (anyone may open a fifo of mode 0644 for reading)
// costs log lines, not the service: with the fifo full and a stranger's junk flooding the log well
// past what the coordinator keeps for the reader, a rendezvous completes, SIGTERM stops the
// coordinator, and the reader still gets the lines that fitted. One that never comes back holds the
// stop no longer than a second signal; so does a terminal of root's that a coordinator of another
// user's writes in (started with setpriv), which it cannot open as a description of its own.
TEST(TrustTest, ALogReaderThatStopsReadingCostsLinesNotTheService) {
    TempDir dir;
    write_file(dir / "f", "payload");
    bool other_user = geteuid() == 0;
    if (other_user) {
        TqrProcess probe({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", ZEL_TQR_PATH, "--version"});
        other_user = probe.wait(kTool) == 0;
    }
    // The log alone into the stalled fifo; and standard error, the status lines and the log with it,
    // its reader back at the stop or gone for good.
    enum Mode { LOG_FIFO, STDERR_BACK, STDERR_GONE, ROOTS_TERMINAL };
    for (Mode mode : {LOG_FIFO, STDERR_BACK, STDERR_GONE, ROOTS_TERMINAL}) {
        static const char* const kModes[] = {"--log fifo", "2>fifo, read again", "2>fifo, never read",
                                             "2>root's terminal as uid 65534, never read"};
        SCOPED_TRACE(kModes[mode]);
        if (mode == ROOTS_TERMINAL && !other_user) continue;
        const bool through_stderr = mode != LOG_FIFO, gone = mode == STDERR_GONE || mode == ROOTS_TERMINAL;
        std::string stream = dir / (std::to_string(mode) + ".fifo");
        int reader = -1;
        if (mode == ROOTS_TERMINAL) {
            reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_TRUE(reader >= 0 && grantpt(reader) == 0 && unlockpt(reader) == 0);
            stream = ptsname(reader);
            ASSERT_EQ(chmod(stream.c_str(), 0600), 0);
        } else {
            ASSERT_EQ(mkfifo(stream.c_str(), 0644), 0);
            reader = open(stream.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            fcntl(reader, F_SETPIPE_SZ, 4096);  // the smallest pipe: full after a few lines
        }
        std::unique_ptr<TqrProcess> coordinator;
        if (through_stderr) {
            const std::string as = mode == ROOTS_TERMINAL ? "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
            coordinator.reset(new TqrProcess({"/bin/sh", "-c", "exec " + as + "\"$0\" coordinator --verbose --log /dev/stderr 2>\"$1\"",
                                              ZEL_TQR_PATH, stream},
                                             dir.path(),
                                             gone ? std::vector<std::string>{"TQR_DRAIN_SECONDS=3600"} : std::vector<std::string>{}));
            // Its first lines are read, then nothing more.
            std::string seen;
            char chunk[4096];
            pollfd ready{reader, POLLIN, 0};
            while (seen.find("listening port=") == std::string::npos && poll(&ready, 1, 10000) == 1) {
                ssize_t n = read(reader, chunk, sizeof chunk);
                if (n <= 0) break;
                seen.append(chunk, static_cast<size_t>(n));
            }
            ASSERT_NE(seen.find("listening port="), std::string::npos) << seen;
        } else {
            coordinator.reset(new TqrProcess({"coordinator", "--verbose", "--log", stream}, dir.path()));
            ASSERT_TRUE(coordinator->wait_for_err("listening port=", kTool)) << coordinator->err();
        }
        const char junk[] = "junk that is no message\n";
        for (int i = 0; i < 2000; ++i) {
            int fd = connect_to(coordinator_port(), false, "127.0.0.2");
            if (fd < 0) continue;
            EXPECT_GT(send(fd, junk, sizeof junk - 1, MSG_NOSIGNAL), 0);
            close(fd);
        }
        TqrProcess sender({"send", "--conference", "stall", "--count", "1", "f"}, dir.path(), {kKey});
        TqrProcess receiver({"receive", "--conference", "stall", "-o", "got", "--force"}, dir.path(), {kKey});
        EXPECT_EQ(receiver.wait(kTool), 0) << receiver.err();
        EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
        EXPECT_EQ(read_file(dir / "got"), "payload");
        coordinator->signal(SIGTERM);
        std::string got;
        if (gone) {
            // Another signal than the first, so that the two cannot merge into one.
            coordinator->signal(SIGINT);
            EXPECT_EQ(coordinator->wait(kTool), 0);
            close(reader);
            continue;
        }
        if (through_stderr) {
            // A reader that comes back at the stop gets its lines: the newest, the oldest dropped
            // and counted, and the stream ends.
            char chunk[65536];
            pollfd ready{reader, POLLIN, 0};
            for (ssize_t n = 1; n > 0 && poll(&ready, 1, 10000) == 1;) {
                n = read(reader, chunk, sizeof chunk);
                if (n > 0) got.append(chunk, static_cast<size_t>(n));
            }
            EXPECT_NE(got.find("status_dropped count="), std::string::npos);
            EXPECT_NE(got.find("\nstopped drained="), std::string::npos) << got.substr(got.size() > 300 ? got.size() - 300 : 0);
        }
        EXPECT_EQ(coordinator->wait(kTool), 0) << coordinator->err();
        if (!through_stderr) {
            got.resize(1 << 20);
            ssize_t n = read(reader, &got[0], got.size());
            ASSERT_GT(n, 0);
            got.resize(static_cast<size_t>(n));
        }
        close(reader);
        EXPECT_NE(got.find('\n'), std::string::npos);
    }
}

// A receiver that may not make a name where it stands (a folder of root's, /dev) still takes what
// makes none there: standard output by any of its names, a device, a text message. A file that would
// go there is declined once it is offered, and the sender serves the next receive. The coordinator
// logs to /dev/null.
TEST(TrustTest, WhatMakesNoNameNeedsNoFolderToWriteIn) {
    if (geteuid() != 0) GTEST_SKIP() << "a second user (uid 65534) needs the tests to run as root";
    TempDir dir;
    const std::string payload = random_bytes(200000, 11);
    write_file(dir / "f", payload);
    fs::create_directory(dir / "ro");
    ASSERT_EQ(chmod(dir.path().c_str(), 0755) | chmod((dir / "ro").c_str(), 0755), 0);
    const std::vector<std::string> as_nobody{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                             ZEL_TQR_PATH};
    std::vector<std::string> version = as_nobody;
    version.push_back("--version");
    TqrProcess probe(version, dir / "ro");
    if (probe.wait(kTool) != 0) GTEST_SKIP() << "uid 65534 cannot run " << ZEL_TQR_PATH << ": " << probe.err();
    TqrProcess coordinator({"coordinator", "--log", "/dev/null"}, dir.path());
    ASSERT_TRUE(coordinator.wait_for_err("listening port=", kTool)) << coordinator.err();
    auto receive = [&](const std::vector<std::string>& args) {
        std::vector<std::string> command = as_nobody;
        command.insert(command.end(), {"receive", "--conference", "ro"});
        command.insert(command.end(), args.begin(), args.end());
        return std::make_unique<TqrProcess>(command, dir / "ro", std::vector<std::string>{kKey});
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
        bool on_stdout;
    };
    const Case cases[] = {
        {{"-o", "-"}, 0, "", true},
        {{"-o", "/dev/full"}, 1, "cannot write /dev/full: No space left on device", false},  // nothing to continue
        {{}, 1, "cannot write in this folder: Permission denied", false},
        {{"-o", "/dev/f"}, 1, "cannot write in /dev: Permission denied", false},
        {{"-o", "/dev/stdout"}, 0, "", true},
        {{"-o", "/dev/null"}, 0, "/dev/null: 195.3 KiB", false},
    };
    TqrProcess sender({"send", "--conference", "ro", "--count", "3", "f"}, dir.path(), {kKey});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "here" : c.args.back());
        auto receiver = receive(c.args);
        EXPECT_EQ(receiver->wait(kTool), c.status) << receiver->err();
        EXPECT_NE(receiver->err().find(c.says), std::string::npos) << receiver->err();
        EXPECT_EQ(receiver->out() == payload, c.on_stdout);
        if (c.args.empty()) {
            EXPECT_TRUE(sender.wait_for_err("an endstation declined", kTool)) << sender.err();
        }
    }
    EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
    EXPECT_TRUE(files_in(dir / "ro").empty());
    TqrProcess text({"send", "--conference", "ro", "--count", "1", "--text", "\u65e5\u672c \xff"}, dir.path(), {kKey});
    // A standard output that does not take the text fails the transfer at both ends: the sender does
    // not count it, and serves the next receive.
    TqrProcess full({"/bin/sh", "-c", "exec \"$0\" receive --conference ro >/dev/full", ZEL_TQR_PATH}, dir.path(), {kKey});
    EXPECT_EQ(full.wait(kTool), 1) << full.err();
    EXPECT_NE(full.err().find("cannot write the text to standard output"), std::string::npos) << full.err();
    EXPECT_TRUE(text.wait_for_err("the endstation is counted lost", kTool)) << text.err();
    auto reader = receive({});
    EXPECT_EQ(reader->wait(kTool), 0) << reader->err();
    EXPECT_EQ(reader->out().rfind("\u65e5\u672c \xff", 0), 0u) << reader->out();
    EXPECT_EQ(text.wait(kTool), 0) << text.err();
    coordinator.signal(SIGTERM);
    EXPECT_EQ(coordinator.wait(kTool), 0) << coordinator.err();
}

}  // namespace
