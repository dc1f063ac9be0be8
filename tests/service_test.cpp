// What an operator or a packager meets: the coordinator's metrics as a monitoring system scrapes
// them, the bash completion, and the Debian packages unpacked into a scratch root.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "harness.h"
#include "protocol/phrase.h"
#include "service/metrics.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

// The whole answer to GET `path`, through bash's /dev/tcp.
std::string http_get(int port, const char* path) {
    std::string script = "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) + " && printf 'GET " + path +
                         " HTTP/1.0\\r\\n\\r\\n' >&3 && cat <&3";
    return run("timeout 10 bash -c " + quote(script)).output;
}

// The samples of a text exposition by series (`name{label="value",...}`). A line that is not of the
// format, or a sample of a family that had no TYPE line before it, goes to `faults`.
std::map<std::string, double> parse_exposition(const std::string& text, std::string* faults) {
    const std::regex type("# TYPE ([a-z_]+) (counter|gauge|histogram)"), help("# HELP [a-z_]+ .+"),
        sample("(([a-z_]+?)(_bucket|_sum|_count)?(\\{[a-z_]+=\"[^\"]*\"(,[a-z_]+=\"[^\"]*\")*\\})?) (\\S+)");
    std::map<std::string, double> samples;
    std::map<std::string, std::string> typed;
    std::istringstream lines(text);
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        char* end = nullptr;
        if (std::regex_match(line, m, type)) {
            typed[m[1]] = m[2];
        } else if (std::regex_match(line, m, sample) && (typed.count(m[2].str() + m[3].str()) ||
                                                         (m[3].matched && typed[m[2]] == "histogram"))) {
            const std::string value = m[6].str();
            samples[m[1]] = strtod(value.c_str(), &end);
            if (*end != '\0') *faults += line + "\n";
        } else if (!std::regex_match(line, help)) {
            *faults += line + "\n";
        }
    }
    return samples;
}

TEST(ServiceTest, MetricsCountRendezvousRejectedSendersAndDroppedParties) {
    TempDir dir;
    int taken = listen_on(free_port(1));
    TqrProcess refused({"coordinator", "--metrics", "127.0.0.1:" + std::to_string(free_port(1))}, dir.path());
    EXPECT_EQ(refused.wait(), 1);
    EXPECT_TRUE(refused.err().find("cannot serve metrics on") != std::string::npos &&
                refused.err().find("listening") == std::string::npos) << refused.err();
    close(taken);

    TqrProcess coordinator({"coordinator", "--metrics", "127.0.0.1:" + std::to_string(free_port(0))}, dir.path());
    ASSERT_TRUE(coordinator.wait_for_err("listening port=")) << coordinator.err();
    RawParty sender, second_sender, too_long, first, second;
    ASSERT_TRUE(sender.join(ROLE_SENDER, "metrics"));
    for (RawParty* endstation : {&first, &second}) {
        ASSERT_TRUE(endstation->join(ROLE_ENDSTATION, "metrics", endstation == &first ? "m1" : "m2"));
        HandRendezvous hand{sender, *endstation, "", "", ""};
        ASSERT_EQ(hand.play(HandRendezvous::Nominate, HandRendezvous::Adios), -1);
    }
    ASSERT_TRUE(second_sender.join(ROLE_SENDER, "metrics"));
    ASSERT_TRUE(too_long.join(ROLE_ENDSTATION, "metrics", std::string(972, 'n')));
    for (const char* line : {"nickname=m1 ", "nickname=m2 ", "rejected_sender ", "reason=nickname_too_long"})
        ASSERT_TRUE(coordinator.wait_for_err(line)) << line << "\n" << coordinator.err();
    // A stranger's junk handshakes, each of which would be a line: a few are told one by one, the rest
    // in one line with their count; every one is counted, and an honest rendezvous follows.
    const int junk = 60;
    for (int i = 0; i < junk; ++i) {
        int fd = connect_to(coordinator_port(), false, "127.0.0.2");
        ASSERT_GE(fd, 0);
        (void)!write(fd, "\xff\xff\xff\xff\0", 5);
        close(fd);
    }
    ASSERT_TRUE(coordinator.wait_for_err("dropped reason=no_role count=")) << coordinator.err();
    RawParty third;
    ASSERT_TRUE(third.join(ROLE_ENDSTATION, "metrics", "m3"));
    HandRendezvous late{sender, third, "", "", ""};
    ASSERT_EQ(late.play(HandRendezvous::Nominate, HandRendezvous::Adios), -1);
    ASSERT_TRUE(coordinator.wait_for_err("nickname=m3 ")) << coordinator.err();
    EXPECT_LE(occurrences(coordinator.err(), "dropped reason=no_role role="), 20u);

    std::string answer = http_get(free_port(0), "/metrics");
    ASSERT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << answer;
    std::string faults;
    std::map<std::string, double> samples = parse_exposition(answer.substr(answer.find("\r\n\r\n") + 4), &faults);
    EXPECT_EQ(faults, "");
    EXPECT_EQ(samples["tqr_rendezvous_total{outcome=\"ok\"}"], 3);
    EXPECT_EQ(samples["tqr_parties_dropped_total{reason=\"no_role\"}"], junk);
    EXPECT_EQ(samples["tqr_rejected_senders_total"], 1);
    EXPECT_EQ(samples["tqr_parties_dropped_total{reason=\"nickname_too_long\"}"], 1);
    EXPECT_EQ(samples["tqr_rendezvous_seconds_count"], 3);
    EXPECT_EQ(samples["tqr_rendezvous_seconds_bucket{le=\"+Inf\"}"], 3);
    EXPECT_EQ(samples["tqr_conferences"], 1);
    EXPECT_EQ(samples["tqr_ports{state=\"free\"}"] + samples["tqr_ports{state=\"lent\"}"] +
                  samples["tqr_ports{state=\"set_aside\"}"], pool_top() - coordinator_port());
    EXPECT_NE(http_get(free_port(0), "/healthz").find("\r\n\r\nok"), std::string::npos);
    // The hang-up of its terminal stops it as SIGTERM does.
    coordinator.signal(SIGHUP);
    EXPECT_EQ(coordinator.wait(), 0) << coordinator.err();
    EXPECT_NE(coordinator.err().find("stopping signal=SIGHUP"), std::string::npos) << coordinator.err();
    // Under nohup a hang-up is ignored, as asked: it serves on, and SIGTERM stops it.
    TqrProcess kept({"/usr/bin/nohup", ZEL_TQR, "coordinator"}, dir.path());
    ASSERT_TRUE(kept.wait_for_err("listening port=")) << kept.err();
    kept.signal(SIGHUP);
    RawParty late_sender, late_endstation;
    ASSERT_TRUE(late_sender.join(ROLE_SENDER, "after-hang-up"));
    ASSERT_TRUE(late_endstation.join(ROLE_ENDSTATION, "after-hang-up"));
    HandRendezvous after{late_sender, late_endstation, "", "", ""};
    EXPECT_EQ(after.play(HandRendezvous::Nominate, HandRendezvous::Adios), -1);
    kept.signal(SIGTERM);
    EXPECT_EQ(kept.wait(), 0) << kept.err();
    EXPECT_NE(kept.err().find("stopping signal=SIGTERM"), std::string::npos) << kept.err();
}

// Each row: `connections` from the attacker's own address, the first of which sends `head` and then
// `filler` until `fill` bytes went or the endpoint stopped taking them (with `drip`, a byte whenever
// a quarter second passed without an answer). Meanwhile and afterwards a scrape answers, an honest
// rendezvous completes, and the coordinator's descriptors and memory stay within bounds; the first
// attacker hears `answer`, and `status` is told.
TEST(ServiceTest, MetricsEndpointBoundsWhatHostileClientsTake) {
    struct Row {
        const char* name;
        std::string head, filler;
        size_t fill;
        bool drip;
        int connections;
        const char* answer;
        const char* status;
    };
    const Row rows[] = {
        {"large body", "POST /metrics HTTP/1.1\r\nContent-Length: 536870912\r\n\r\n", std::string(65536, 'b'),
         64u << 20, false, 1, "HTTP/1\\.1 413 [\\s\\S]*", "metrics_refused reason=body"},
        {"header lines", "GET /metrics HTTP/1.1\r\n", "X-\xd0\x96\xe4\xb8\xad\xff: \xce\xb1\xd7\x90\r\n", 200000 * 16,
         false, 1, "HTTP/1\\.1 431 [\\s\\S]*", "metrics_refused reason=headers"},
        {"drip", "GET /metrics HTTP/1.1\r\n", "X", 80, true, 8, "HTTP/1\\.1 408 [\\s\\S]*", "metrics_refused reason=slow"},
        {"silent crowd", "", "", 0, false, 1100, "HTTP/1\\.1 408 [\\s\\S]*", "metrics_refused reason=full"},
        {"other method", "PUT /metrics HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi", "", 0, false, 1,
         "HTTP/1\\.1 405 [\\s\\S]*\r\nAllow: GET, HEAD\r\n[\\s\\S]*", ""},
        {"head", "HEAD /metrics HTTP/1.0\r\n\r\n", "", 0, false, 1, "HTTP/1\\.1 200 [\\s\\S]*version=0\\.0\\.4[\\s\\S]*\r\n\r\n", ""},
    };
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    TempDir dir;
    int port = free_port(2);
    TqrProcess coordinator({"coordinator", "--metrics", "127.0.0.1:" + std::to_string(port)}, dir.path());
    ASSERT_TRUE(coordinator.wait_for_err("listening port=")) << coordinator.err();
    auto scrape_answers = [&] { return http_get(port, "/metrics").find("\r\n\r\n# HELP tqr_parties ") != std::string::npos; };
    ASSERT_TRUE(scrape_answers());
    int conference = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        long memory = resident_kib(coordinator.pid());
        int held = descriptors(coordinator.pid());
        std::vector<std::unique_ptr<RawParty>> attackers;
        for (int i = 0; i < row.connections; ++i) {
            attackers.emplace_back(new RawParty);
            ASSERT_TRUE(attackers.back()->connect(port, false, "127.0.0.2"));
        }
        const int first = attackers[0]->fd();
        std::thread attack([&] {
            send(first, row.head.data(), row.head.size(), MSG_NOSIGNAL);
            pollfd answered{first, POLLIN, 0};
            for (size_t sent = 0; sent < row.fill;) {
                if (row.drip && poll(&answered, 1, 250) != 0) return;
                ssize_t put = send(first, row.filler.data(), row.drip ? 1 : row.filler.size(), MSG_NOSIGNAL);
                if (put <= 0) return;
                sent += static_cast<size_t>(put);
            }
        });
        EXPECT_TRUE(scrape_answers());
        EXPECT_LE(descriptors(coordinator.pid()), held + tqr::MetricsServer::kMaxConnections + 1);
        RawParty sender, endstation;
        std::string name = "metrics-attack-" + std::to_string(++conference);
        ASSERT_TRUE(sender.join(ROLE_SENDER, name) && endstation.join(ROLE_ENDSTATION, name, "honest"));
        HandRendezvous hand{sender, endstation, "", "", ""};
        EXPECT_EQ(hand.play(HandRendezvous::Nominate, HandRendezvous::Adios), -1);
        attack.join();
        std::string heard = attackers[0]->hear_rest();
        EXPECT_TRUE(std::regex_match(heard, std::regex(row.answer))) << heard;
        EXPECT_TRUE(coordinator.wait_for_err(row.status)) << coordinator.err();
        EXPECT_LT(resident_kib(coordinator.pid()) - memory, 16 * 1024);
        attackers.clear();
        EXPECT_TRUE(scrape_answers());
    }
    coordinator.signal(SIGTERM);
    EXPECT_EQ(coordinator.wait(), 0) << coordinator.err();
}

// The completion offers what `tqr SUBCOMMAND --help` lists, and its own lists when no tqr answers.
TEST(ServiceTest, CompletionOffersSubcommandsOptionsAndFiles) {
    TempDir dir;
    write_file(dir / "report.pdf", "x");
    std::string complete = "cd " + quote(dir.path()) + " && source " + quote(ZEL_SOURCE_DIR "/tools/tqr/tqr.bash") +
                           " && c() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _tqr; echo \"${COMPREPLY[*]}\"; }";
    for (const char* tqr : {ZEL_TQR, "/nonexistent/tqr"}) {
        std::string q = quote(tqr);
        RunResult offered = run("bash -c " + quote(complete + "; c " + q + " ''; c " + q + " coordinator --me; c " + q +
                                                   " send --key-file re; c " + q + " send --count ''"));
        EXPECT_EQ(offered.output, "coordinator send receive demo --help --version\n--metrics\nreport.pdf\n\n") << tqr;
    }
    // A code's words, from the list of the very tqr being completed (`tqr __words`).
    std::string q = quote(ZEL_TQR), c = "; c " + q + " receive ", line = c + "7-gui" + c + "7-guitar-OCE" + c + "7 guitar oc";
    EXPECT_EQ(run("bash -c " + quote(complete + line + c + "--host h 7-gx; c " + q + " send --code 12-zeb")).output,
              "7-guide 7-guitar\n7-guitar-ocean\nocean octave octopus\n\n12-zebra\n");
}

// The three packages of this build unpacked into one scratch root: the unpacked tool runs its demo,
// and a host builds against the unpacked -dev package and binds to the unpacked library (the tool
// links the library statically, so only a host shows the .so at work).
TEST(ServiceTest, PackagesUnpackedIntoARootRunTheDemoAndBuildAHostAgainstTheirLibrary) {
    if (ZEL_SANITIZED) GTEST_SKIP() << "a sanitized build is not packaged: its binaries need the sanitizer's runtime";
    TempDir dir;
    const std::string out = dir / "debs", root = dir / "root";
    RunResult packed = run(quote(ZEL_CPACK) + " -G DEB -B " + quote(out) + " --config " + quote(ZEL_BINARY_DIR "/CPackConfig.cmake"));
    ASSERT_EQ(packed.status, 0) << packed.output;
    RunResult unpacked = run("cd " + quote(out) + " && for deb in *.deb; do dpkg-deb -f $deb Package && dpkg-deb -x $deb " +
                             quote(root) + " || exit 1; done");
    ASSERT_EQ(unpacked.output, "libzel-protocol-dev\nlibzel-protocol1\ntqr\n");
    std::string tool_depends = run("dpkg-deb -f " + quote(out) + "/tqr_*.deb Depends").output;
    EXPECT_NE(tool_depends.find("libsodium"), std::string::npos) << tool_depends;
    EXPECT_NE(tool_depends.find("libarchive13"), std::string::npos) << tool_depends;  // loaded, not linked
    EXPECT_NE(tool_depends.find("libzel-protocol1 (= " ZEL_VERSION ")"), std::string::npos) << tool_depends;
    EXPECT_EQ(run("dpkg-deb -f " + quote(out) + "/libzel-protocol-dev_*.deb Depends").output, "libzel-protocol1 (= " ZEL_VERSION ")\n");
    EXPECT_NE(read_file(root + "/usr/lib/systemd/system/tqr-coordinator.service").find("ExecStart=/usr/bin/tqr coordinator"),
              std::string::npos);
    for (const char* file : {"/etc/default/tqr-coordinator", "/usr/share/bash-completion/completions/tqr"})
        EXPECT_TRUE(fs::exists(root + file)) << file;
    EXPECT_EQ(fs::exists(root + "/usr/share/man/man1/tqr-coordinator.1"), ZEL_MAN != 0);

    TqrProcess demo({root + "/usr/bin/tqr", "demo"});
    EXPECT_EQ(demo.wait(milliseconds(60000)), 0) << demo.out() << demo.err();

    RunResult built = run(quote(ZEL_CMAKE) + " -S " + quote(ZEL_SOURCE_DIR "/examples") + " -B " + quote(dir / "host") +
                          " -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=" + quote(root + "/usr") +
                          " -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF && " + quote(ZEL_CMAKE) + " --build " + quote(dir / "host"));
    ASSERT_EQ(built.status, 0) << built.output;
    RunResult linked = run("ldd " + quote(dir / "host/host"));
    EXPECT_NE(linked.output.find(root + "/usr/" ZEL_INSTALL_LIBDIR "/libzel_protocol.so.1 "), std::string::npos) << linked.output;
}

}  // namespace
