// The installed form of the library, as a host's developer meets it: `cmake --install` of this build
// into a fresh prefix lays out the versioned library, which exports the host's API and nothing else,
// the public headers, each of which compiles on its own, the tool, the CMake package and the
// pkg-config file; examples/host.cpp and examples/coordinator_host.cpp then build against that prefix
// once through find_package and once through pkg-config, and each build meets itself through its own
// coordinator host.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "harness.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

class Installed : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_prefix = s_root.path() + "/prefix";
        s_libdir = s_prefix + "/" ZEL_INSTALL_LIBDIR;
        s_install = run(quote(ZEL_CMAKE) + " --install " + quote(ZEL_BINARY_DIR) + " --prefix " + quote(s_prefix));
    }
    void SetUp() override { ASSERT_EQ(s_install.status, 0) << s_install.output; }

    // The hosts in `build` link the installed library, and a sender and an endstation meet through
    // the coordinator host; the endstation prints the line the sender wrote on the direct link, and
    // each program ends by returning from main, its loop ended as it should (exit 0).
    static void meets_itself(const std::string& build, const std::string& conference, const std::vector<std::string>& env) {
        const std::string host = build + "/host";
        RunResult linked = run((env.empty() ? "" : "env " + env[0] + " ") + "ldd " + quote(host));
        EXPECT_NE(linked.output.find(s_libdir + "/libzel_protocol.so." ZEL_SOVERSION), std::string::npos) << linked.output;
        std::vector<std::string> limited = env;
        limited.push_back("TQR_MAX_PARTIES=24");
        TqrProcess coordinator({build + "/coordinator_host"}, ".", limited);
        ASSERT_TRUE(coordinator.wait_for_err("listening port=")) << coordinator.err();
        EXPECT_NE(coordinator.err().find("max_parties=24 max_per_source=3"), std::string::npos) << coordinator.err();
        TqrProcess sender({host, "send", conference, "install-key", "127.0.0.1"}, ".", env);
        TqrProcess endstation({host, "receive", conference, "install-key", "127.0.0.1"}, ".", env);
        EXPECT_EQ(endstation.wait(milliseconds(120000)), 0) << endstation.err();
        EXPECT_EQ(endstation.out(), "endstation: the sender says: hello from the sender\n");
        ASSERT_TRUE(coordinator.wait_for_out("rendezvous conference=" + conference + " nickname=example-endstation outcome=ok"))
            << coordinator.out();
        // On SIGTERM the coordinator drains, stops and exits 0; the sender's link then ends, and so does it.
        coordinator.signal(SIGTERM);
        EXPECT_EQ(coordinator.wait(milliseconds(60000)), 0) << coordinator.err();
        EXPECT_NE(coordinator.err().find("stopped drained=yes: parties=0 conferences=0 served=2"), std::string::npos)
            << coordinator.err();
        EXPECT_EQ(sender.wait(milliseconds(60000)), 0) << sender.err();
        EXPECT_EQ(sender.out(), "sender: greeted an endstation\nsender: approved 1 nomination(s)\n");
    }

    static inline TempDir s_root;
    static inline std::string s_prefix, s_libdir;
    static inline RunResult s_install;
};

TEST_F(Installed, TheLibraryCarriesItsVersionAndExportsTheHostsApiAndNothingElse) {
    const std::string versioned = "libzel_protocol.so." ZEL_VERSION, soname = "libzel_protocol.so." ZEL_SOVERSION;
    EXPECT_EQ(fs::read_symlink(s_libdir + "/" + soname).string(), versioned);
    EXPECT_EQ(fs::read_symlink(s_libdir + "/libzel_protocol.so").string(), soname);
    RunResult dynamic = run("readelf -d " + quote(s_libdir + "/" + versioned));
    EXPECT_NE(dynamic.output.find("Library soname: [" + soname + "]"), std::string::npos) << dynamic.output;
    // "<address> <kind> <name>"; a demangled name may hold blanks of its own. A function of C++
    // linkage shows its signature, so the plain "set_bridge_callback" is what a host in C finds.
    RunResult nm = run("nm -D --defined-only -C " + quote(s_libdir + "/" + versioned));
    ASSERT_EQ(nm.status, 0) << nm.output;
    std::set<std::string> names;
    std::istringstream lines(nm.output);
    for (std::string line; std::getline(lines, line);)
        if (size_t kind = line.find(' '); kind != std::string::npos && kind + 3 <= line.size()) names.insert(line.substr(kind + 3));
    for (const char* marker : {"_init", "_fini", "_edata", "_end", "__bss_start"}) names.erase(marker);
    EXPECT_EQ(names, (std::set<std::string>{
                         "Caller::Caller()", "Caller::Caller(int)", "Caller::~Caller()",
                         "Caller::connect(int, char const*, int, char const*, char const*, char const*)",
                         "Caller::listen(int, int, int)", "Caller::accept(int)", "Caller::startreadthread()",
                         "Caller::s_readthread(void*)", "Caller::negotiate(int, int, int)", "Caller::coord_port()",
                         "Caller::process()", "Caller::s_ssc_pt(void*)", "Connection::Close()",
                         "Activelist::Activelist()", "Activelist::~Activelist()", "Portmanager::Portmanager()",
                         "Portmanager::~Portmanager()", "Portmanager::coord_port()", "g_logmsg", "set_bridge_callback",
                         // The host's API beside it.
                         "zel::AdmissionLimits::from_settings()", "zel::CoordinatorHost::CoordinatorHost()",
                         "zel::CoordinatorHost::~CoordinatorHost()", "zel::CoordinatorHost::start(int, zel::AdmissionLimits const&)",
                         "zel::CoordinatorHost::only_conference(std::__cxx11::basic_string<char, std::char_traits<char>, "
                         "std::allocator<char> > const&)",
                         "zel::CoordinatorHost::stop_accepting()", "zel::CoordinatorHost::drain(double)",
                         "zel::CoordinatorHost::cut_drain()", "zel::CoordinatorHost::stop()", "zel::CoordinatorHost::counts() const",
                         "zel::CoordinatorHost::wait_parties(int, double)",
                         "zel::set_party_observer(void (*)(zel::PartyEvent const&, void*), void*)",
                         "zel::set_approval_policy(Caller&, bool (*)(std::__cxx11::basic_string<char, "
                         "std::char_traits<char>, std::allocator<char> > const&, void*), void*)",
                         "zel::set_bridge_handler(Caller&, void (*)(int, void*), void*)", "zel::process_result(Caller const&)", "zel::bridged(Caller const&)",
                         "zel::refused_within(Caller&, double)", "zel::wait_link_ended(Caller&, double)", "zel::close_link(Caller&)", "zel::shutdown()", "zel::settings()",
                         "zel::printable[abi:cxx11](char const*, unsigned long, bool)", "zel::logmsg_mutex()", "zel::set_quiet(int)",
                     }));
    // The tool is a host of the installed library like any other: it loads the installed one.
    RunResult help = run(quote(s_prefix + "/bin/tqr") + " --help");
    EXPECT_EQ(help.status, 0) << help.output;
    RunResult loads = run("ldd " + quote(s_prefix + "/bin/tqr"));
    const size_t at = loads.output.find(soname + " => ");
    ASSERT_NE(at, std::string::npos) << loads.output;
    const size_t from = at + soname.size() + 4;
    const std::string loaded = loads.output.substr(from, loads.output.find(" (", from) - from);
    EXPECT_EQ(fs::canonical(loaded), fs::canonical(s_libdir + "/" + soname)) << loads.output;
    // Started in a folder where another user planted a file under the name of each library it needs,
    // the tool, installed or in the build tree, loads its own: the working folder is never searched.
    TempDir planted;
    std::istringstream needed(run("readelf -d " + quote(s_prefix + "/bin/tqr")).output);
    int libraries = 0;
    for (std::string line; std::getline(needed, line);) {
        const size_t open = line.find("Shared library: [");
        if (open == std::string::npos) continue;
        ++libraries;
        write_file(planted / line.substr(open + 17, line.find(']', open) - open - 17), "not a library");
    }
    EXPECT_GE(libraries, 3);
    for (const std::string& tool : {s_prefix + "/bin/tqr", std::string()}) {
        TqrProcess version(tool.empty() ? std::vector<std::string>{"--version"} : std::vector<std::string>{tool, "--version"},
                           planted.path());
        EXPECT_EQ(version.wait(milliseconds(30000)), 0) << tool << ": " << version.err();
    }
    // A packager's staged install: files land under DESTDIR, while what they name is the final prefix.
    const std::string stage = s_root.path() + "/stage";
    RunResult staged = run("DESTDIR=" + quote(stage) + " " + quote(ZEL_CMAKE) + " --install " + quote(ZEL_BINARY_DIR) +
                           " --prefix /opt/zel-install-test");
    ASSERT_EQ(staged.status, 0) << staged.output;
    std::string pc = read_file(stage + "/opt/zel-install-test/" ZEL_INSTALL_LIBDIR "/pkgconfig/zel_protocol.pc");
    EXPECT_NE(pc.find("prefix=/opt/zel-install-test\n"), std::string::npos) << pc;
}

// Each installed header compiles on its own from the installed folder, which holds nothing but them:
// a public header that reached for an internal one would fail here.
TEST_F(Installed, EachPublicHeaderCompilesAloneInCxx17AndCxx20) {
    const std::string include = s_prefix + "/include/zel";
    std::vector<std::string> headers;
    for (const auto& entry : fs::recursive_directory_iterator(include))
        if (entry.is_regular_file()) headers.push_back(fs::relative(entry.path(), include).string());
    ASSERT_GE(headers.size(), 10u);
    EXPECT_FALSE(fs::exists(include + "/protocol/party_session.h")) << "an internal header is installed";
    const std::string unit = s_root.path() + "/unit.cpp";
    for (const char* standard : {"c++17", "c++20"}) {
        for (const std::string& header : headers) {
            write_file(unit, "#include \"" + header + "\"\n#include \"" + header + "\"\nint main() { return 0; }\n");
            RunResult compiled = run(quote(ZEL_CXX) + " -std=" + standard + " -fsyntax-only -Wall -Wextra -Wshadow -Werror -I " +
                                     quote(include) + " " + quote(unit));
            EXPECT_EQ(compiled.status, 0) << header << " " << standard << "\n" << compiled.output;
        }
    }
}

TEST_F(Installed, AHostBuiltWithFindPackageMeetsThroughTheCoordinator) {
    const std::string build = s_root.path() + "/host-cmake";
    RunResult configured = run(quote(ZEL_CMAKE) + " -S " + quote(ZEL_SOURCE_DIR "/examples") + " -B " + quote(build) +
                               " -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=" + quote(ZEL_CXX) + " -DCMAKE_CXX_FLAGS=" +
                               quote(ZEL_HOST_SANITIZE) + " -DCMAKE_EXE_LINKER_FLAGS=" + quote(ZEL_HOST_SANITIZE) +
                               " -DCMAKE_PREFIX_PATH=" + quote(s_prefix) +
                               " -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF");
    ASSERT_EQ(configured.status, 0) << configured.output;
    RunResult built = run(quote(ZEL_CMAKE) + " --build " + quote(build));
    ASSERT_EQ(built.status, 0) << built.output;
    meets_itself(build, "install-cmake", {});  // the build's run path finds the library
}

TEST_F(Installed, AHostBuiltWithPkgConfigMeetsThroughTheCoordinator) {
    const std::string build = s_root.path() + "/host-pkgconfig";
    ASSERT_EQ(mkdir(build.c_str(), 0755), 0);
    RunResult built = run("cd " + quote(build) + " && PKG_CONFIG_PATH=" + quote(s_libdir + "/pkgconfig") + " PKG_CONFIG=" +
                          quote(ZEL_PKG_CONFIG) + " CXX=" + quote(ZEL_CXX) + " CXXFLAGS=" + quote("-O2 -g " ZEL_HOST_SANITIZE) +
                          " LDFLAGS=" + quote(ZEL_HOST_SANITIZE) + " make -f " + quote(ZEL_SOURCE_DIR "/examples/Makefile"));
    ASSERT_EQ(built.status, 0) << built.output;
    meets_itself(build, "install-pkgconfig", {"LD_LIBRARY_PATH=" + s_libdir});
}

}  // namespace
