// What an operator or a packager meets: the coordinator's metrics as a monitoring system scrapes
// them, the bash completion, and the Debian packages unpacked into a scratch root.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "harness.h"
#include "protocol/phrase.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

// The whole answer to GET `path`, through bash's /dev/tcp.
std::string http_get(int port, const char* path) {
    std::string script = "exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) + " && printf 'GET " + path +
                         " HTTP/1.0\\r\\n\\r\\n' >&3 && cat <&3";
    return run("timeout 10 bash -c " + quote(script)).output;
}

// A sample line, `name{label="value",...} number` or `name number`: its series (what comes before
// the blank) and its value; false when the line is not one.
bool parse_sample(const std::string& line, std::string* series, double* value) {
    const char* name_chars = "abcdefghijklmnopqrstuvwxyz_";
    size_t at = line.find_first_not_of(name_chars);
    if (at == 0 || at == std::string::npos) return false;
    if (line[at] == '{') {
        do {
            size_t equals = line.find_first_not_of(name_chars, at + 1);
            if (equals == at + 1 || equals == std::string::npos || line.compare(equals, 2, "=\"") != 0) return false;
            if ((at = line.find('"', equals + 2)) == std::string::npos) return false;
        } while (line[++at] == ',');
        if (line[at++] != '}') return false;
    }
    char* end = nullptr;
    *value = strtod(line.c_str() + at + 1, &end);
    *series = line.substr(0, at);
    return line[at] == ' ' && end != line.c_str() + at + 1 && *end == '\0';
}

// The samples of a text exposition by series. A line that is not of the format, or a sample of a
// family that had no TYPE line before it, goes to `faults`.
std::map<std::string, double> parse_exposition(const std::string& text, std::string* faults) {
    std::map<std::string, double> samples;
    std::set<std::string> typed;
    std::istringstream lines(text);
    for (std::string line, series; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string hash, keyword, name, kind;
        words >> hash >> keyword >> name >> kind;
        double value = 0;
        if (hash == "#" && keyword == "TYPE" && (kind == "counter" || kind == "gauge" || kind == "histogram")) {
            for (const char* suffix : {"", "_bucket", "_sum", "_count"})
                if (kind == "histogram" || *suffix == '\0') typed.insert(name + suffix);
        } else if (parse_sample(line, &series, &value) && typed.count(series.substr(0, series.find('{')))) {
            samples[series] = value;
        } else if (hash != "#" || keyword != "HELP") {
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

    std::string answer = http_get(free_port(0), "/metrics");
    ASSERT_NE(answer.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << answer;
    std::string faults;
    std::map<std::string, double> samples = parse_exposition(answer.substr(answer.find("\r\n\r\n") + 4), &faults);
    EXPECT_EQ(faults, "");
    EXPECT_EQ(samples["tqr_rendezvous_total{outcome=\"ok\"}"], 2);
    EXPECT_EQ(samples["tqr_rejected_senders_total"], 1);
    EXPECT_EQ(samples["tqr_parties_dropped_total{reason=\"nickname_too_long\"}"], 1);
    EXPECT_EQ(samples["tqr_rendezvous_seconds_count"], 2);
    EXPECT_EQ(samples["tqr_rendezvous_seconds_bucket{le=\"+Inf\"}"], 2);
    EXPECT_EQ(samples["tqr_conferences"], 1);
    EXPECT_EQ(samples["tqr_ports{state=\"free\"}"] + samples["tqr_ports{state=\"lent\"}"] +
                  samples["tqr_ports{state=\"set_aside\"}"], pool_top() - coordinator_port());
    EXPECT_NE(http_get(free_port(0), "/healthz").find("\r\n\r\nok"), std::string::npos);
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
        EXPECT_EQ(offered.output, "coordinator send receive demo --help\n--metrics\nreport.pdf\n\n") << tqr;
    }
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
    EXPECT_EQ(tool_depends.find("libzel"), std::string::npos) << tool_depends;
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
