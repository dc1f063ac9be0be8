// `tqr coordinator` as a service: a real coordinator process (ZEL_TQR_PATH) on this test's ports, and
// raw parties in the test process that speak the handshake and the named messages by hand, so that
// each rendezvous can be held at any step. Covers the status lines on standard error, the drain on
// SIGTERM/SIGINT, a sender that never reads, and a flood of connections that never speak.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "raw_party.h"

namespace {

using namespace zel_test;
using std::chrono::seconds;
using Hand = HandRendezvous;

// `tqr coordinator ARGS` with `env`, its standard error in a file of `dir`.
struct Coordinator : TqrProcess {
    Coordinator(const TempDir& dir, std::vector<std::string> args, const std::vector<std::string>& env = {})
        : TqrProcess((args.insert(args.begin(), "coordinator"), args), dir.path(), dir.path(), env) {}
};

// A status line, "event key=value ...", read back as a log tool would: values are bare, or quoted
// with \" \\ and \xHH escapes (kept here). `event` is empty when the line is not of that form.
struct StatusLine {
    std::string event, text;
    std::map<std::string, std::string> fields;

    explicit StatusLine(const std::string& line) : text(line) {
        static const std::string value = R"(("(?:[^"\\]|\\["\\]|\\x[0-9a-fA-F]{2})*"|[!#-<>-\[\]-~]+))";
        static const std::regex whole("[a-z_]+(?: [a-z_]+=" + value + ")*"), field(" ([a-z_]+)=" + value);
        if (!std::regex_match(line, whole)) return;
        event = line.substr(0, line.find(' '));
        for (std::sregex_iterator it(line.begin(), line.end(), field), end; it != end; ++it) {
            std::string found = (*it)[2];
            if (found[0] == '"') found = found.substr(1, found.size() - 2);
            if (!fields.emplace((*it)[1], found).second) event.clear();
        }
    }
    std::string operator[](const std::string& key) const {
        auto found = fields.find(key);
        return found == fields.end() ? "<absent>" : found->second;
    }
};

// The lines of `text`, and the status lines of `event` among them.
std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
std::vector<StatusLine> status_lines(const std::string& text, const std::string& event) {
    std::vector<StatusLine> found;
    for (const std::string& line : lines_of(text))
        if (StatusLine(line).event == event) found.emplace_back(line);
    return found;
}

// The TCP state (as /proc/net/tcp writes it: "01" established) of the coordinator's end of its link
// with the party at local port `party_port`; "" when there is none.
std::string coordinator_end_state(int party_port) {
    std::istringstream table(read_file("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        unsigned local_port = 0, remote_port = 0;
        char state[8] = "";
        if (sscanf(line.c_str(), " %*d: %*8[0-9A-Fa-f]:%x %*8[0-9A-Fa-f]:%x %7s", &local_port, &remote_port, state) == 3 &&
            static_cast<int>(local_port) == coordinator_port() && static_cast<int>(remote_port) == party_port)
            return state;
    }
    return std::string();
}

// A rendezvous that completes and one whose endstation cannot reach its sender each give exactly one
// status line, with the conference, nickname and port, in a form that survives blanks, '=', quotes and
// line breaks in what parties send; a second sender gives a line too. The library's own lines stay
// hidden by default.
TEST(ReliabilityTest, EachRendezvousGivesOneStatusLine) {
    TempDir dir;
    Coordinator coordinator(dir, {});
    ASSERT_TRUE(coordinator.accepting()) << coordinator.err();
    const std::string conference = "status one", nickname = "nick=1 \"x\"\\\nend";
    RawParty sender, endstation, second_sender, unlucky;
    ASSERT_NO_FATAL_FAILURE(sender.join(ROLE_SENDER, conference));
    ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, conference, nickname));
    Hand first(sender, endstation, nickname);
    ASSERT_NO_FATAL_FAILURE(first.play(Hand::Nominate, Hand::Adios));
    ASSERT_TRUE(wait_until([&] { return !status_lines(coordinator.err(), "rendezvous").empty(); })) << coordinator.err();
    // A second sender for the conference is turned away, and told of.
    ASSERT_NO_FATAL_FAILURE(second_sender.join(ROLE_SENDER, conference));
    second_sender.expect("RejectedSender ");
    // An endstation that cannot reach its sender.
    ASSERT_NO_FATAL_FAILURE(unlucky.join(ROLE_ENDSTATION, conference, "unlucky"));
    Hand failed(sender, unlucky, "unlucky");
    ASSERT_NO_FATAL_FAILURE(failed.play(Hand::Nominate, Hand::Connect));
    unlucky.say("Failed " + failed.sender_cookie + " ");
    ASSERT_TRUE(wait_until([&] { return status_lines(coordinator.err(), "rendezvous").size() == 2; }))
        << coordinator.err();
    ASSERT_TRUE(wait_until([&] { return !status_lines(coordinator.err(), "rejected_sender").empty(); }));

    // Parties that leave after their rendezvous ended give no more lines.
    for (RawParty* party : {&endstation, &unlucky, &second_sender, &sender}) party->hang_up();
    EXPECT_EQ(coordinator.stop_with(SIGTERM), 0);
    std::string err = coordinator.err();
    std::vector<StatusLine> lines = status_lines(err, "rendezvous");
    ASSERT_EQ(lines.size(), 2u) << err;
    EXPECT_EQ(lines[0].fields.size(), 5u) << lines[0].text;
    EXPECT_GE(atof(lines[0]["ms"].c_str()), 0.0);
    // Exactly as documented: the order of the fields, and how values are quoted.
    EXPECT_EQ(lines[0].text.substr(0, lines[0].text.find(" ms=")),
              "rendezvous conference=\"status one\" nickname=\"nick=1 \\\"x\\\"\\\\\\x0aend\" port=" + first.port +
                  " outcome=ok");
    EXPECT_EQ(lines[1]["conference"], "status one");
    EXPECT_EQ(lines[1]["nickname"], "unlucky");
    EXPECT_EQ(lines[1]["port"], failed.port);
    EXPECT_EQ(lines[1]["outcome"], "connect_failed");
    std::vector<StatusLine> rejected = status_lines(err, "rejected_sender");
    ASSERT_EQ(rejected.size(), 1u) << err;
    EXPECT_EQ(rejected[0]["conference"], "status one");
    EXPECT_EQ(rejected[0]["peer"].compare(0, 10, "127.0.0.1:"), 0) << rejected[0].text;
    // Every line is a status line or a notice; the library said nothing of its own.
    for (const std::string& text : lines_of(err)) {
        std::string event = StatusLine(text).event;
        EXPECT_TRUE(event == "rendezvous" || event == "rejected_sender" || event == "listening" || event == "stopping" ||
                    event == "stopped")
            << text;
    }
    EXPECT_EQ(status_lines(err, "listening").size(), 1u) << err;
    ASSERT_EQ(status_lines(err, "stopped").size(), 1u) << err;
    EXPECT_EQ(status_lines(err, "stopped")[0]["drained"], "yes");
}

// Default: notices and status lines. --quiet: status lines only. --verbose: the library's lines too.
TEST(ReliabilityTest, QuietHidesNoticesAndVerboseShowsTheLibrary) {
    TempDir dir;
    Coordinator quiet(dir, {"--quiet"});
    ASSERT_TRUE(quiet.accepting()) << quiet.err();
    EXPECT_EQ(quiet.stop_with(SIGTERM), 0);
    EXPECT_EQ(quiet.err(), "");
    Coordinator verbose(dir, {"--verbose"});
    ASSERT_TRUE(verbose.accepting()) << verbose.err();
    // The readiness probe was a party: the library spoke of it.
    EXPECT_TRUE(wait_until([&] { return verbose.err().find("caller fd constructor") != std::string::npos; }))
        << verbose.err();
    EXPECT_EQ(verbose.stop_with(SIGTERM), 0);
    EXPECT_EQ(status_lines(verbose.err(), "listening").size(), 1u);
    Coordinator both(dir, {"--quiet", "--verbose"});
    EXPECT_EQ(both.wait(), 1);
}

// SIGTERM with a rendezvous under way (a port lent): the port closes at once, the rendezvous still
// completes, and the coordinator exits 0 as soon as it has, well before the drain time is up.
TEST(ReliabilityTest, SigtermLetsTheRendezvousUnderWayFinish) {
    TempDir dir;
    Coordinator coordinator(dir, {"--quiet"}, {"TQR_DRAIN_SECONDS=60"});
    ASSERT_TRUE(coordinator.accepting()) << coordinator.err();
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(sender.join(ROLE_SENDER, "drain"));
    ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, "drain", "draining"));
    Hand rendezvous(sender, endstation, "draining");
    ASSERT_NO_FATAL_FAILURE(rendezvous.play(Hand::Nominate, Hand::Listen));

    coordinator.signal(SIGTERM);
    // A new party is refused by the system once the port is closed.
    EXPECT_TRUE(wait_until([] {
        int fd = connect_to(coordinator_port());
        return fd < 0 || close(fd) != 0;
    }));
    EXPECT_TRUE(coordinator.running());
    ASSERT_NO_FATAL_FAILURE(rendezvous.play(Hand::Listening, Hand::Adios));
    // Once no port is lent, the coordinator ends every link and leaves.
    EXPECT_EQ(coordinator.wait(seconds(30)), 0) << coordinator.err();
    EXPECT_TRUE(sender.read_to_end(kPartyWait));
    EXPECT_TRUE(endstation.read_to_end(kPartyWait));
    std::vector<StatusLine> lines = status_lines(coordinator.err(), "rendezvous");
    ASSERT_EQ(lines.size(), 1u) << coordinator.err();
    EXPECT_EQ(lines[0]["outcome"], "ok");
    EXPECT_EQ(lines[0]["port"], rendezvous.port);
    EXPECT_EQ(lines[0]["nickname"], "draining");
}

// A rendezvous that does not finish within the drain time is cut: every link ends, the rendezvous is
// told as left, and the exit status is still 0. SIGINT works as SIGTERM does.
TEST(ReliabilityTest, DrainTimeCutsARendezvousThatDoesNotFinish) {
    TempDir dir;
    Coordinator coordinator(dir, {}, {"TQR_DRAIN_SECONDS=1"});
    ASSERT_TRUE(coordinator.accepting()) << coordinator.err();
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(sender.join(ROLE_SENDER, "cut"));
    ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, "cut", "stuck"));
    Hand rendezvous(sender, endstation, "stuck");
    ASSERT_NO_FATAL_FAILURE(rendezvous.play(Hand::Nominate, Hand::Listen));

    EXPECT_EQ(coordinator.stop_with(SIGINT, seconds(30)), 0) << coordinator.err();
    EXPECT_TRUE(sender.read_to_end(kPartyWait));
    EXPECT_TRUE(endstation.read_to_end(kPartyWait));
    std::string err = coordinator.err();
    std::vector<StatusLine> lines = status_lines(err, "rendezvous"), stopping = status_lines(err, "stopping"),
                            stopped = status_lines(err, "stopped");
    ASSERT_EQ(lines.size(), 1u) << err;
    EXPECT_TRUE(lines[0]["outcome"] == "sender_left" || lines[0]["outcome"] == "endstation_left") << lines[0].text;
    EXPECT_EQ(lines[0]["port"], rendezvous.port);
    ASSERT_EQ(stopping.size(), 1u) << err;
    EXPECT_EQ(stopping[0]["signal"], "SIGINT");
    EXPECT_EQ(stopping[0]["rendezvous"], "1");
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
    Coordinator coordinator(dir, {"--quiet"}, {"TQR_SEND_TIMEOUT=2"});
    ASSERT_TRUE(coordinator.accepting()) << coordinator.err();
    RawParty stalled;
    ASSERT_NO_FATAL_FAILURE(stalled.join(ROLE_SENDER, "stalled", "", false, 4, true));
    // The coordinator's end of the stalled link: established until the coordinator drops the sender.
    auto stalled_link_up = [&] { return coordinator_end_state(stalled.local_port()) == "01"; };
    ASSERT_TRUE(stalled_link_up());
    // Long nicknames fill the buffers in few nominations: a few dozen fit, so the nomination of one of
    // these waits until the sender is dropped.
    constexpr int kWaiting = 200;
    std::vector<std::unique_ptr<RawParty>> waiting;
    for (int i = 0; i < kWaiting; ++i) {
        std::string nickname = "waiting-" + std::to_string(i);
        nickname.resize(900, '.');
        waiting.emplace_back(new RawParty());
        ASSERT_NO_FATAL_FAILURE(waiting.back()->join(ROLE_ENDSTATION, "stalled", nickname, false));
    }
    // Another conference meets while the nomination waits, before the stalled sender is dropped.
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(sender.join(ROLE_SENDER, "moving"));
    ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, "moving", "mover"));
    ASSERT_NO_FATAL_FAILURE(Hand(sender, endstation, "mover").play(Hand::Nominate, Hand::Adios));
    EXPECT_TRUE(stalled_link_up()) << "the other conference waited for the send time limit";

    // Dropped once the send time limit has passed. What the coordinator had sent before can still be
    // read, then the link ends: less than one nomination per endstation, for the sends had stalled.
    ASSERT_TRUE(wait_until([&] { return !stalled_link_up(); }, seconds(30)));
    int nominations = 0;
    ASSERT_TRUE(stalled.read_to_end(kPartyWait, "Nominate ", &nominations));
    EXPECT_GT(nominations, 0);
    EXPECT_LT(nominations, kWaiting);

    // The conference takes a sender again. The dropped sender's leave step erases its conference just
    // after its link ends; a sender that comes before that is turned away and tries again.
    std::vector<std::unique_ptr<RawParty>> tries;
    std::string heard = "RejectedSender ";
    for (int attempt = 0; attempt < 20 && heard.compare(0, 15, "RejectedSender ") == 0; ++attempt) {
        tries.emplace_back(new RawParty());
        ASSERT_NO_FATAL_FAILURE(tries.back()->join(ROLE_SENDER, "stalled"));
        tries.emplace_back(new RawParty());
        ASSERT_NO_FATAL_FAILURE(tries.back()->join(ROLE_ENDSTATION, "stalled", "late"));
        heard = tries[tries.size() - 2]->hear();
    }
    EXPECT_EQ(heard.compare(0, 9, "Nominate "), 0) << heard;
    EXPECT_EQ(heard.substr(heard.rfind(' ') + 1), "late") << heard;
    EXPECT_EQ(coordinator.stop_with(SIGTERM), 0);
}

// Raises this process's open-file limit to `wanted` where the hard limit allows; the limit in force.
rlim_t raise_open_files(rlim_t wanted) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = std::max(limit.rlim_cur, std::min(limit.rlim_max, wanted));
    setrlimit(RLIMIT_NOFILE, &limit);
    return limit.rlim_cur;
}

// 5,000 connections that never speak against TQR_MAX_PARTIES=1000: those beyond the limit are closed
// at once, the coordinator keeps serving the parties it has, and once the flood is gone new parties
// are served again.
TEST(ReliabilityTest, FloodOfSilentConnectionsIsRefusedBeyondMaxParties) {
    constexpr int kFlood = 5000, kMaxParties = 1000;
    ASSERT_GE(raise_open_files(kFlood + 200), static_cast<rlim_t>(kFlood + 200)) << "this test needs more open files";
    TempDir dir;
    Coordinator coordinator(dir, {"--quiet"}, {"TQR_MAX_PARTIES=" + std::to_string(kMaxParties)});
    ASSERT_TRUE(coordinator.accepting()) << coordinator.err();
    // A rendezvous whose parties are in before the flood.
    RawParty sender, endstation;
    ASSERT_NO_FATAL_FAILURE(sender.join(ROLE_SENDER, "before"));
    ASSERT_NO_FATAL_FAILURE(endstation.join(ROLE_ENDSTATION, "before", "early"));
    Hand before(sender, endstation, "early");
    ASSERT_NO_FATAL_FAILURE(before.play(Hand::Nominate, Hand::Listen));
    // Its readiness probe released: the coordinator holds the two parties only.
    const int quiet_descriptors = descriptors_of(coordinator.pid());

    std::vector<int> flood;
    for (int i = 0; i < kFlood; ++i) flood.push_back(connect_to(coordinator_port()));
    EXPECT_EQ(std::count(flood.begin(), flood.end(), -1), 0) << "connections failed";
    // Each connection either is greeted (a party) or ends at once (refused).
    int greeted = 0, refused = 0;
    const auto until = std::chrono::steady_clock::now() + seconds(30);
    for (int fd : flood) {
        pollfd ready{fd, POLLIN, 0};
        char chunk[64];
        auto left = std::chrono::duration_cast<milliseconds>(until - std::chrono::steady_clock::now()).count();
        ssize_t n = poll(&ready, 1, static_cast<int>(std::max<long>(left, 0))) == 1 ? recv(fd, chunk, sizeof chunk, 0) : -2;
        greeted += n > 0;
        refused += n == 0 || (n == -1 && errno == ECONNRESET);
    }
    EXPECT_EQ(greeted + refused, kFlood) << "connections neither greeted nor closed";
    // The two parties of the rendezvous count; the readiness probe may still have.
    EXPECT_LE(greeted, kMaxParties - 2);
    EXPECT_GE(greeted, kMaxParties - 3);

    // The rendezvous from before the flood completes while the flood holds the coordinator full.
    ASSERT_NO_FATAL_FAILURE(before.play(Hand::Listening, Hand::Adios));
    for (int fd : flood) close(fd);
    EXPECT_TRUE(wait_until([&] { return descriptors_of(coordinator.pid()) <= quiet_descriptors; }, seconds(30)))
        << descriptors_of(coordinator.pid()) << " descriptors, " << quiet_descriptors << " before the flood";
    // Served at once again.
    RawParty after_sender, after_endstation;
    ASSERT_NO_FATAL_FAILURE(after_sender.join(ROLE_SENDER, "after"));
    ASSERT_NO_FATAL_FAILURE(after_endstation.join(ROLE_ENDSTATION, "after", "late"));
    ASSERT_NO_FATAL_FAILURE(Hand(after_sender, after_endstation, "late").play(Hand::Nominate, Hand::Adios));

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
