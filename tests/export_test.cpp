// The shared library exports the public API and nothing else: what a host links against must not
// grow by accident, and internal operations stay private.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

// The names that `nm -D --defined-only` lists for the shared library, demangled or as they stand.
std::set<std::string> exported_names(bool demangle) {
    std::string command = std::string("nm -D --defined-only ") + (demangle ? "-C " : "") + "'" ZEL_SO_PATH "'";
    std::set<std::string> names;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return names;
    char line[4096];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        // "<address> <kind> <name>"; a demangled name may hold blanks of its own.
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        size_t kind = text.find(' ');
        if (kind == std::string::npos || kind + 3 > text.size()) continue;
        names.insert(text.substr(kind + 3));
    }
    EXPECT_EQ(pclose(pipe), 0) << command;
    // Linker-made markers are not part of the API.
    for (const char* marker : {"_init", "_fini", "_edata", "_end", "__bss_start"}) names.erase(marker);
    return names;
}

TEST(ExportTest, SharedLibraryExportsExactlyThePublicApi) {
    ASSERT_EQ(access(ZEL_SO_PATH, R_OK), 0) << "build the zel_protocol target first: " << ZEL_SO_PATH;
    const std::set<std::string> expected = {
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
    };
    std::set<std::string> demangled = exported_names(true);
    EXPECT_EQ(demangled, expected);
    for (const std::string& name : demangled)
        EXPECT_EQ(name.find("joinconference"), std::string::npos) << name;

    // A host written in C finds the bridge hook under its plain name.
    std::set<std::string> raw = exported_names(false);
    EXPECT_EQ(raw.count("set_bridge_callback"), 1u);
    EXPECT_EQ(raw.count("g_logmsg"), 1u);
    for (const std::string& name : raw) EXPECT_EQ(name.find("joinconference"), std::string::npos) << name;
}

}  // namespace
