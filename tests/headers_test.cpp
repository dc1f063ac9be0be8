// The public headers as a host sees them: each one compiles on its own, in C++17 and C++20, with
// warnings as errors, from a folder that holds nothing but the public headers (the same list that
// `cmake --install` installs), so a public header that reaches for an internal one, or for a file the
// installation does not ship, fails here.
#include <algorithm>

#include "test_support.h"

#ifndef ZEL_PUBLIC_HEADERS
#error "ZEL_PUBLIC_HEADERS comes from the build (top CMakeLists.txt, Installation)"
#endif

namespace {

std::vector<std::string> public_headers() {
    std::vector<std::string> headers;
    std::stringstream list(ZEL_PUBLIC_HEADERS);
    for (std::string header; std::getline(list, header, ':');)
        if (!header.empty()) headers.push_back(header);
    return headers;
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << text);
}

// A folder laid out as the installation's include/zel: the public headers and nothing else.
class PublicHeaders : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/zel_headers_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_root = pattern;
        for (const std::string& header : public_headers()) {
            std::string path = s_root + "/zel/" + header;
            zel_test::run("mkdir -p '" + path.substr(0, path.rfind('/')) + "'");
            std::string text = zel_test::read_file(ZEL_SOURCE_DIR "/" + header);
            ASSERT_FALSE(text.empty()) << header << " is missing from the source tree";
            ASSERT_TRUE(write_file(path, text)) << path;
        }
    }
    static void TearDownTestSuite() {
        if (!s_root.empty()) zel_test::run("rm -rf '" + s_root + "'");
    }

    // Compiles a unit that includes `header` twice (include guards) in `standard`; the compiler's
    // words when it fails.
    static std::string compile_alone(const std::string& header, const std::string& standard) {
        std::string unit = s_root + "/unit.cpp";
        std::string include = "#include \"" + header + "\"\n";
        if (!write_file(unit, include + include + "int main() { return 0; }\n")) return "cannot write " + unit;
        std::string command = std::string("'") + ZEL_CXX + "' -std=" + standard +
                              " -fsyntax-only -Wall -Wextra -Wshadow -Werror -I '" + s_root + "/zel' '" + unit + "'";
        zel_test::RunResult result = zel_test::run(command);
        return result.status == 0 ? std::string() : command + "\n" + result.output;
    }

    static inline std::string s_root;
};

TEST_F(PublicHeaders, EachCompilesAloneInCxx17AndCxx20) {
    const std::vector<std::string> headers = public_headers();
    ASSERT_GE(headers.size(), 10u);
    for (const char* internal : {"protocol/lock.h", "protocol/live_callers.h"})
        EXPECT_EQ(std::count(headers.begin(), headers.end(), internal), 0) << internal << " is internal";
    for (const char* standard : {"c++17", "c++20"})
        for (const std::string& header : headers) EXPECT_EQ(compile_alone(header, standard), "") << header;
}

// The check itself: a header that reaches for an internal one does not compile from the public folder.
TEST_F(PublicHeaders, InternalHeaderIsNotReachable) {
    std::string probe = s_root + "/zel/protocol/probe_internal.h";
    ASSERT_TRUE(write_file(probe, "#pragma once\n#include \"protocol/lock.h\"\n"));
    EXPECT_NE(compile_alone("protocol/probe_internal.h", "c++17"), "");
    unlink(probe.c_str());
}

}  // namespace
