// The installed form of the library, as a host's developer meets it: `cmake --install` of this build
// into a fresh prefix lays out the library with its SONAME link, the public headers, the tool, the CMake
// package and the pkg-config file; examples/host.cpp then builds against that prefix once through
// find_package(zel_protocol CONFIG) and once through pkg-config (examples/Makefile), and each build
// meets itself — a sender and an endstation — through a `tqr coordinator` of this build.
//
// In a sanitized build the hosts are built with the same sanitizers, whose runtime the library needs.
//
// Ports: the coordinator listens on TQR_COORDINATOR_PORT and lends up to TQR_TOP_PORT, both set for
// this test by ctest and inherited by every process it starts.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

#if !defined(ZEL_BINARY_DIR) || !defined(ZEL_SOURCE_DIR) || !defined(ZEL_CMAKE) || !defined(ZEL_HOST_SANITIZE)
#error "the install test's paths come from the build (top CMakeLists.txt, Installation)"
#endif

namespace {

using std::chrono::seconds;

struct Result {
    int status;  // the exit status, -1 when the command did not exit normally
    std::string output;
};

// Runs `command` through the shell with stdout and stderr together.
Result run(const std::string& command) {
    Result result{-1, ""};
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string shell_quoted(const std::string& text) { return "'" + text + "'"; }

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool is_regular(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string link_target(const std::string& path) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

// True when some socket of this machine listens on TCP `port` (IPv4).
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::stringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        size_t colon = local.find(':');
        if (colon != std::string::npos && state == "0A" &&
            strtol(local.c_str() + colon + 1, nullptr, 16) == port)
            return true;
    }
    return false;
}

// A process started by the test, with stdout and stderr in files. Killed and reaped if the test
// leaves it running.
class Child {
public:
    Child(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env, const std::string& out,
          const std::string& err) {
        m_pid = fork();
        if (m_pid != 0) return;
        for (const std::string& setting : extra_env) putenv(const_cast<char*>(setting.c_str()));
        FILE* out_file = freopen(out.c_str(), "w", stdout);
        FILE* err_file = freopen(err.c_str(), "w", stderr);
        if (out_file == nullptr || err_file == nullptr) _exit(126);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    ~Child() {
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool started() const { return m_pid > 0; }
    void signal(int number) {
        if (m_pid > 0 && !m_reaped) kill(m_pid, number);
    }
    // The exit status once the process exited within `limit`; -1 when it did not, or was killed.
    int wait(std::chrono::milliseconds limit) {
        if (m_pid <= 0) return -1;
        zel_test::wait_until([&] { return reap(); }, limit);
        return m_reaped && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

private:
    bool reap() {
        if (!m_reaped && waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_reaped = true;
        return m_reaped;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// One installation of this build, shared by the cases; removed when the suite ends.
class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/zel_install_XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        s_root = pattern;
        s_prefix = s_root + "/prefix";
        s_install = run(shell_quoted(ZEL_CMAKE) + " --install " + shell_quoted(ZEL_BINARY_DIR) + " --prefix " + shell_quoted(s_prefix));
    }
    static void TearDownTestSuite() {
        if (!s_root.empty()) run("rm -rf " + shell_quoted(s_root));
        s_root.clear();
    }
    void SetUp() override {
        ASSERT_FALSE(s_root.empty()) << "no temporary folder";
        ASSERT_EQ(s_install.status, 0) << s_install.output;
    }

    static std::string in_prefix(const std::string& path) { return s_prefix + "/" + path; }
    static std::string libdir() { return in_prefix(ZEL_INSTALL_LIBDIR); }

    // A sender and an endstation of `host` meet through a coordinator of this build; the endstation
    // prints the line the sender wrote on the direct link. `env` is added to the hosts' environment.
    static void rendezvous(const std::string& host, const std::string& conference,
                           const std::vector<std::string>& env) {
        const int port = zel_test::coordinator_port();
        ASSERT_FALSE(listening(port)) << "port " << port << " is taken";
        const std::string logs = s_root + "/" + conference;
        Child coordinator({ZEL_TQR_PATH, "coordinator", "--quiet"}, {}, logs + ".coordinator.out",
                          logs + ".coordinator.err");
        ASSERT_TRUE(coordinator.started());
        ASSERT_TRUE(zel_test::wait_until([&] { return listening(port); }, seconds(30)))
            << read_file(logs + ".coordinator.err");

        Child sender({host, "send", conference, "install-key", "127.0.0.1"}, env, logs + ".send.out",
                     logs + ".send.err");
        Child endstation({host, "receive", conference, "install-key", "127.0.0.1"}, env, logs + ".receive.out",
                         logs + ".receive.err");
        EXPECT_EQ(endstation.wait(seconds(120)), 0) << read_file(logs + ".receive.err");
        EXPECT_EQ(read_file(logs + ".receive.out"), "endstation: the sender says: hello from the sender\n");

        // On SIGTERM the coordinator finishes and exits 0; the sender's link then ends, and so does it.
        coordinator.signal(SIGTERM);
        EXPECT_EQ(coordinator.wait(seconds(60)), 0) << read_file(logs + ".coordinator.err");
        EXPECT_EQ(sender.wait(seconds(60)), 0) << read_file(logs + ".send.err");
        EXPECT_EQ(read_file(logs + ".send.out"), "sender: greeted an endstation\n");
        EXPECT_TRUE(zel_test::wait_until([&] { return !listening(port); }, seconds(30)));
    }

    static std::string s_root;
    static std::string s_prefix;
    static Result s_install;
};

std::string Installed::s_root;
std::string Installed::s_prefix;
Result Installed::s_install;

TEST_F(Installed, LibraryCarriesItsVersionAndSoname) {
    const std::string lib = libdir() + "/libzel_protocol.so";
    const std::string versioned = "libzel_protocol.so." ZEL_VERSION;
    const std::string soname = "libzel_protocol.so." ZEL_SOVERSION;
    EXPECT_TRUE(is_regular(libdir() + "/" + versioned)) << versioned;
    EXPECT_EQ(link_target(libdir() + "/" + soname), versioned);
    EXPECT_EQ(link_target(lib), soname);

    Result dynamic = run("readelf -d " + shell_quoted(libdir() + "/" + versioned));
    ASSERT_EQ(dynamic.status, 0) << dynamic.output;
    EXPECT_NE(dynamic.output.find("Library soname: [" + soname + "]"), std::string::npos) << dynamic.output;
    // The library is self-contained: zel_common is linked in, not needed at run time.
    EXPECT_EQ(dynamic.output.find("zel_common"), std::string::npos) << dynamic.output;
}

TEST_F(Installed, PublicHeadersAndNothingElse) {
    std::vector<std::string> expected = split(ZEL_PUBLIC_HEADERS, ':');
    ASSERT_FALSE(expected.empty());
    for (const std::string& header : expected) EXPECT_TRUE(is_regular(in_prefix("include/zel/" + header))) << header;

    // Exactly the public set, in its folders: the internal headers stay behind.
    Result listed = run("cd " + shell_quoted(in_prefix("include/zel")) + " && find . -type f | sed 's|^\\./||' | sort");
    ASSERT_EQ(listed.status, 0) << listed.output;
    std::vector<std::string> found = split(listed.output, '\n');
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);
    EXPECT_FALSE(is_regular(in_prefix("include/zel/protocol/lock.h")));
    EXPECT_FALSE(is_regular(in_prefix("include/zel/protocol/live_callers.h")));
}

TEST_F(Installed, ToolPackageFilesAndManualPages) {
    const std::string tool = in_prefix("bin/tqr");
    ASSERT_EQ(access(tool.c_str(), X_OK), 0) << tool;
    Result help = run(shell_quoted(tool) + " --help");
    EXPECT_EQ(help.status, 0) << help.output;
    EXPECT_NE(help.output.find("coordinator"), std::string::npos) << help.output;

    const std::string cmake_dir = libdir() + "/cmake/zel_protocol/";
    EXPECT_TRUE(is_regular(cmake_dir + "zel_protocolConfig.cmake"));
    EXPECT_TRUE(is_regular(cmake_dir + "zel_protocolConfigVersion.cmake"));
    EXPECT_TRUE(is_regular(cmake_dir + "zel_protocolTargets.cmake"));

    // Manual pages are made only where scdoc was found when the build was configured.
    if (is_regular(std::string(ZEL_BINARY_DIR) + "/man/tqr.1")) {
        for (const char* page : {"tqr", "tqr-coordinator", "tqr-send", "tqr-receive", "tqr-demo"}) {
            std::string path = in_prefix(std::string("share/man/man1/") + page + ".1");
            EXPECT_TRUE(is_regular(path)) << path;
            EXPECT_NE(read_file(path).find(".TH"), std::string::npos) << path;
        }
    }
}

TEST_F(Installed, PkgConfigNamesTheInstallPrefix) {
    const std::string query = "PKG_CONFIG_PATH=" + shell_quoted(libdir() + "/pkgconfig") + " " + shell_quoted(ZEL_PKG_CONFIG);
    Result cflags = run(query + " --cflags zel_protocol");
    ASSERT_EQ(cflags.status, 0) << cflags.output;
    EXPECT_EQ(trimmed(cflags.output), "-I" + in_prefix("include/zel"));
    Result libs = run(query + " --libs zel_protocol");
    ASSERT_EQ(libs.status, 0) << libs.output;
    EXPECT_EQ(trimmed(libs.output), "-L" + libdir() + " -lzel_protocol -pthread");
    Result version = run(query + " --modversion zel_protocol");
    EXPECT_EQ(trimmed(version.output), ZEL_VERSION);
}

// A packager's staged install: files land under DESTDIR, while what they name is the final prefix.
TEST_F(Installed, DestdirStagesForTheFinalPrefix) {
    const std::string stage = s_root + "/stage";
    Result staged = run("DESTDIR=" + shell_quoted(stage) + " " + shell_quoted(ZEL_CMAKE) + " --install " + shell_quoted(ZEL_BINARY_DIR) +
                        " --prefix /opt/zel-install-test");
    ASSERT_EQ(staged.status, 0) << staged.output;
    const std::string staged_prefix = stage + "/opt/zel-install-test";
    std::string pc = read_file(staged_prefix + "/" ZEL_INSTALL_LIBDIR "/pkgconfig/zel_protocol.pc");
    EXPECT_NE(pc.find("prefix=/opt/zel-install-test\n"), std::string::npos) << pc;
    EXPECT_TRUE(is_regular(staged_prefix + "/include/zel/protocol/caller.h"));
    EXPECT_TRUE(is_regular(staged_prefix + "/" ZEL_INSTALL_LIBDIR "/cmake/zel_protocol/zel_protocolConfig.cmake"));
}

TEST_F(Installed, HostBuiltWithFindPackageMeetsThroughTheCoordinator) {
    const std::string build = s_root + "/host-cmake";
    Result configured = run(shell_quoted(ZEL_CMAKE) + " -S " + shell_quoted(ZEL_SOURCE_DIR "/examples") + " -B " + shell_quoted(build) +
                            " -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=" + shell_quoted(ZEL_CXX) +
                            " -DCMAKE_CXX_FLAGS=" + shell_quoted(ZEL_HOST_SANITIZE) +
                            " -DCMAKE_EXE_LINKER_FLAGS=" + shell_quoted(ZEL_HOST_SANITIZE) +
                            " -DCMAKE_PREFIX_PATH=" + shell_quoted(s_prefix) +
                            " -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF");
    ASSERT_EQ(configured.status, 0) << configured.output;
    Result built = run(shell_quoted(ZEL_CMAKE) + " --build " + shell_quoted(build));
    ASSERT_EQ(built.status, 0) << built.output;

    // The imported target brings the installed library, and the build's run path finds it.
    const std::string host = build + "/host";
    Result linked = run("ldd " + shell_quoted(host));
    EXPECT_NE(linked.output.find(libdir() + "/libzel_protocol.so." ZEL_SOVERSION), std::string::npos)
        << linked.output;
    rendezvous(host, "install-cmake", {});
}

TEST_F(Installed, HostBuiltWithPkgConfigMeetsThroughTheCoordinator) {
    const std::string build = s_root + "/host-pkgconfig";
    ASSERT_EQ(mkdir(build.c_str(), 0755), 0);
    Result built = run("cd " + shell_quoted(build) + " && PKG_CONFIG_PATH=" + shell_quoted(libdir() + "/pkgconfig") +
                       " PKG_CONFIG=" + shell_quoted(ZEL_PKG_CONFIG) + " CXX=" + shell_quoted(ZEL_CXX) +
                       " CXXFLAGS=" + shell_quoted("-O2 -g " ZEL_HOST_SANITIZE) +
                       " LDFLAGS=" + shell_quoted(ZEL_HOST_SANITIZE) + " make -f " +
                       shell_quoted(ZEL_SOURCE_DIR "/examples/Makefile"));
    ASSERT_EQ(built.status, 0) << built.output;
    EXPECT_NE(built.output.find("-I" + in_prefix("include/zel")), std::string::npos) << built.output;

    const std::string host = build + "/host";
    const std::string library_path = "LD_LIBRARY_PATH=" + libdir();
    Result linked = run(library_path + " ldd " + shell_quoted(host));
    EXPECT_NE(linked.output.find(libdir() + "/libzel_protocol.so." ZEL_SOVERSION), std::string::npos)
        << linked.output;
    rendezvous(host, "install-pkgconfig", {library_path});
}

}  // namespace
