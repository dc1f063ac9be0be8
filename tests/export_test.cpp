// The shared library exports the public API and nothing else: what a host links against must not
// grow by accident, and internal operations stay private.
#include <set>

#include "test_support.h"

namespace {

TEST(ExportTest, SharedLibraryExportsExactlyThePublicApi) {
    ASSERT_EQ(access(ZEL_SO_PATH, R_OK), 0) << "build the zel_protocol target first: " << ZEL_SO_PATH;
    zel_test::RunResult nm = zel_test::run("nm -D --defined-only -C '" ZEL_SO_PATH "'");
    ASSERT_EQ(nm.status, 0) << nm.output;
    // "<address> <kind> <name>"; a demangled name may hold blanks of its own. A function of C++
    // linkage shows its signature, so the plain "set_bridge_callback" is what a host in C finds.
    std::set<std::string> names;
    std::istringstream lines(nm.output);
    for (std::string line; std::getline(lines, line);)
        if (size_t kind = line.find(' '); kind != std::string::npos && kind + 3 <= line.size())
            names.insert(line.substr(kind + 3));
    for (const char* marker : {"_init", "_fini", "_edata", "_end", "__bss_start"}) names.erase(marker);
    EXPECT_EQ(names, (std::set<std::string>{
                         "Caller::Caller()",
                         "Caller::Caller(int)",
                         "Caller::~Caller()",
                         "Caller::connect(int, char const*, int, char const*, char const*, char const*)",
                         "Caller::listen(int, int, int)",
                         "Caller::accept(int)",
                         "Caller::startreadthread()",
                         "Caller::s_readthread(void*)",
                         "Caller::negotiate(int, int, int)",
                         "Caller::coord_port()",
                         "Caller::process()",
                         "Caller::s_ssc_pt(void*)",
                         "Connection::Close()",
                         "Activelist::Activelist()",
                         "Activelist::~Activelist()",
                         "Portmanager::Portmanager()",
                         "Portmanager::~Portmanager()",
                         "Portmanager::coord_port()",
                         "g_logmsg",
                         "set_bridge_callback",
                     }));
    EXPECT_EQ(nm.output.find("joinconference"), std::string::npos);
}

}  // namespace
