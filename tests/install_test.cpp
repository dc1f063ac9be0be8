// The installed form of the library, as a host's developer meets it: `cmake --install` of this build
// into a fresh prefix lays out the library with its SONAME link, the public headers, the tool, the CMake
// package and the pkg-config file; examples/host.cpp then builds against that prefix once through
// find_package(zel_protocol CONFIG) and once through pkg-config (examples/Makefile), and each build
// meets itself (a sender and an endstation) through a `tqr coordinator` of this build.
//
// In a sanitized build the hosts are built with the same sanitizers, whose runtime the library needs.
// The coordinator listens on TQR_COORDINATOR_PORT and lends up to TQR_TOP_PORT, both set by ctest and
// inherited by every process this test starts.
#include <sys/stat.h>

#include <csignal>

#include "test_support.h"

#if !defined(ZEL_BINARY_DIR) || !defined(ZEL_SOURCE_DIR) || !defined(ZEL_CMAKE) || !defined(ZEL_HOST_SANITIZE)
#error "the install test's paths come from the build (top CMakeLists.txt, Installation)"
#endif

namespace {

using std::chrono::seconds;
using zel_test::read_file;
using zel_test::run;

std::string quote_arg(const std::string& text) { return "'" + text + "'"; }

std::string link_target(const std::string& path) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

// True when some socket of this machine listens on TCP `port` (IPv4).
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line, slot, local, remote, state;
    std::getline(table, line);  // the heading
    while (table >> slot >> local >> remote >> state && std::getline(table, line))
        if (state == "0A" && strtol(local.c_str() + local.find(':') + 1, nullptr, 16) == port) return true;
    return false;
}

// A command started by the test, with stdout and stderr in `<logs>.out` and `<logs>.err`. Killed and
// reaped if the test leaves it running.
class Child {
public:
    Child(const std::string& command, const std::string& logs) {
        const std::string line = "exec " + command + " >" + quote_arg(logs + ".out") + " 2>" + quote_arg(logs + ".err");
        m_pid = fork();
        if (m_pid != 0) return;
        execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ~Child() {
        signal(SIGKILL);
        wait(seconds(10));
    }
    void signal(int number) {
        if (m_pid > 0 && !m_reaped) kill(m_pid, number);
    }
    // The exit status once the process exited within `limit`; -1 when it did not, or was killed.
    int wait(std::chrono::milliseconds limit) {
        zel_test::wait_until([&] { return m_pid <= 0 || m_reaped || (m_reaped = waitpid(m_pid, &m_status, WNOHANG) == m_pid); },
                             limit);
        return m_reaped && WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

private:
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
        s_libdir = s_prefix + "/" ZEL_INSTALL_LIBDIR;
        s_install = run(quote_arg(ZEL_CMAKE) + " --install " + quote_arg(ZEL_BINARY_DIR) + " --prefix " + quote_arg(s_prefix));
    }
    static void TearDownTestSuite() {
        if (!s_root.empty()) run("rm -rf " + quote_arg(s_root));
    }
    void SetUp() override {
        ASSERT_FALSE(s_root.empty()) << "no temporary folder";
        ASSERT_EQ(s_install.status, 0) << s_install.output;
    }

    // `host` links the installed library, and a sender and an endstation of it meet through a
    // coordinator of this build; the endstation prints the line the sender wrote on the direct link.
    static void meets_itself(const std::string& host, const std::string& conference, const std::string& env) {
        zel_test::RunResult linked = run(env + " ldd " + quote_arg(host));
        EXPECT_NE(linked.output.find(s_libdir + "/libzel_protocol.so." ZEL_SOVERSION), std::string::npos)
            << linked.output;
        const int port = zel_test::coordinator_port();
        ASSERT_FALSE(listening(port)) << "port " << port << " is taken";
        const std::string logs = s_root + "/" + conference;
        Child coordinator(quote_arg(ZEL_TQR_PATH) + " coordinator --quiet", logs + ".coordinator");
        ASSERT_TRUE(zel_test::wait_until([&] { return listening(port); }, seconds(30)))
            << read_file(logs + ".coordinator.err");

        const std::string party = "env " + env + " " + quote_arg(host);
        Child sender(party + " send " + conference + " install-key 127.0.0.1", logs + ".send");
        Child endstation(party + " receive " + conference + " install-key 127.0.0.1", logs + ".receive");
        EXPECT_EQ(endstation.wait(seconds(120)), 0) << read_file(logs + ".receive.err");
        EXPECT_EQ(read_file(logs + ".receive.out"), "endstation: the sender says: hello from the sender\n");

        // On SIGTERM the coordinator finishes and exits 0; the sender's link then ends, and so does it.
        coordinator.signal(SIGTERM);
        EXPECT_EQ(coordinator.wait(seconds(60)), 0) << read_file(logs + ".coordinator.err");
        EXPECT_EQ(sender.wait(seconds(60)), 0) << read_file(logs + ".send.err");
        EXPECT_EQ(read_file(logs + ".send.out"), "sender: greeted an endstation\n");
        EXPECT_TRUE(zel_test::wait_until([&] { return !listening(port); }, seconds(30)));
    }

    static inline std::string s_root, s_prefix, s_libdir;
    static inline zel_test::RunResult s_install;
};

TEST_F(Installed, LayoutLibraryHeadersToolAndStagedPrefix) {
    // The library carries its version and SONAME, and zel_common is linked in, not needed at run time.
    const std::string versioned = "libzel_protocol.so." ZEL_VERSION, soname = "libzel_protocol.so." ZEL_SOVERSION;
    EXPECT_EQ(link_target(s_libdir + "/" + soname), versioned);
    EXPECT_EQ(link_target(s_libdir + "/libzel_protocol.so"), soname);
    zel_test::RunResult dynamic = run("readelf -d " + quote_arg(s_libdir + "/" + versioned));
    EXPECT_NE(dynamic.output.find("Library soname: [" + soname + "]"), std::string::npos) << dynamic.output;
    EXPECT_EQ(dynamic.output.find("zel_common"), std::string::npos) << dynamic.output;

    EXPECT_EQ(read_file(s_prefix + "/include/zel/protocol/lock.h"), "") << "an internal header is installed";
    // The installed tool finds the installed library.
    zel_test::RunResult help = run(quote_arg(s_prefix + "/bin/tqr") + " --help");
    EXPECT_EQ(help.status, 0) << help.output;

    // A packager's staged install: files land under DESTDIR, while what they name is the final prefix.
    const std::string staged = s_root + "/stage/opt/zel-install-test/";
    zel_test::RunResult stage = run("DESTDIR=" + quote_arg(s_root + "/stage") + " " + quote_arg(ZEL_CMAKE) + " --install " +
                                    quote_arg(ZEL_BINARY_DIR) + " --prefix /opt/zel-install-test");
    ASSERT_EQ(stage.status, 0) << stage.output;
    std::string pc = read_file(staged + ZEL_INSTALL_LIBDIR "/pkgconfig/zel_protocol.pc");
    EXPECT_NE(pc.find("prefix=/opt/zel-install-test\n"), std::string::npos) << pc;
    EXPECT_NE(read_file(staged + "include/zel/protocol/caller.h"), "");
}

TEST_F(Installed, HostBuiltWithFindPackageMeetsThroughTheCoordinator) {
    const std::string build = s_root + "/host-cmake";
    zel_test::RunResult configured =
        run(quote_arg(ZEL_CMAKE) + " -S " + quote_arg(ZEL_SOURCE_DIR "/examples") + " -B " + quote_arg(build) +
            " -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=" + quote_arg(ZEL_CXX) + " -DCMAKE_CXX_FLAGS=" +
            quote_arg(ZEL_HOST_SANITIZE) + " -DCMAKE_EXE_LINKER_FLAGS=" + quote_arg(ZEL_HOST_SANITIZE) +
            " -DCMAKE_PREFIX_PATH=" + quote_arg(s_prefix) +
            " -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF");
    ASSERT_EQ(configured.status, 0) << configured.output;
    zel_test::RunResult built = run(quote_arg(ZEL_CMAKE) + " --build " + quote_arg(build));
    ASSERT_EQ(built.status, 0) << built.output;
    meets_itself(build + "/host", "install-cmake", "");  // the build's run path finds the library
}

TEST_F(Installed, HostBuiltWithPkgConfigMeetsThroughTheCoordinator) {
    const std::string build = s_root + "/host-pkgconfig";
    ASSERT_EQ(mkdir(build.c_str(), 0755), 0);
    zel_test::RunResult built =
        run("cd " + quote_arg(build) + " && PKG_CONFIG_PATH=" + quote_arg(s_libdir + "/pkgconfig") + " PKG_CONFIG=" +
            quote_arg(ZEL_PKG_CONFIG) + " CXX=" + quote_arg(ZEL_CXX) + " CXXFLAGS=" + quote_arg("-O2 -g " ZEL_HOST_SANITIZE) +
            " LDFLAGS=" + quote_arg(ZEL_HOST_SANITIZE) + " make -f " + quote_arg(ZEL_SOURCE_DIR "/examples/Makefile"));
    ASSERT_EQ(built.status, 0) << built.output;
    EXPECT_NE(built.output.find("-I" + s_prefix + "/include/zel"), std::string::npos) << built.output;
    meets_itself(build + "/host", "install-pkgconfig", "LD_LIBRARY_PATH=" + s_libdir);
}

}  // namespace
