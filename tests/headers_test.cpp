// The public headers as a host sees them: each one compiles on its own, in C++17 and C++20, with
// warnings as errors, from a folder that holds nothing but the public headers (so a public header that
// reaches for an internal one, or for a file the installation does not ship, fails here); and no
// public header includes anything outside the public set.
//
// The list of public headers, the source folder and the compiler come from the build (the same list
// that `cmake --install` installs).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

void make_dirs(const std::string& path) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

// Runs `command` through the shell; its exit status, with stdout and stderr in `output`.
int run(const std::string& command, std::string& output) {
    output.clear();
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The quoted includes of `text` ("protocol/connection.h"), in order.
std::vector<std::string> quoted_includes(const std::string& text) {
    std::vector<std::string> found;
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] != '#') continue;
        at = line.find_first_not_of(" \t", at + 1);
        if (at == std::string::npos || line.compare(at, 7, "include") != 0) continue;
        size_t open = line.find('"', at);
        size_t close = open == std::string::npos ? open : line.find('"', open + 1);
        if (close != std::string::npos) found.push_back(line.substr(open + 1, close - open - 1));
    }
    return found;
}

// A folder laid out as the installation's include/zel: the public headers and nothing else. Removed
// when the suite ends.
class PublicHeaders : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/zel_headers_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        s_root = pattern;
        for (const std::string& header : public_headers()) {
            std::string text = read_file(std::string(ZEL_SOURCE_DIR) + "/" + header);
            ASSERT_FALSE(text.empty()) << header << " is missing from the source tree";
            std::string path = s_root + "/zel/" + header;
            make_dirs(path.substr(0, path.rfind('/')));
            ASSERT_TRUE(write_file(path, text)) << path;
        }
    }
    static void TearDownTestSuite() {
        if (s_root.empty()) return;
        std::string output;
        run("rm -rf '" + s_root + "'", output);
        s_root.clear();
    }

    // Compiles a unit that includes `header` twice (include guards) in `standard`; the compiler's
    // words when it fails.
    static std::string compile_alone(const std::string& header, const std::string& standard) {
        std::string unit = s_root + "/unit_" + standard + ".cpp";
        std::string include = "#include \"" + header + "\"\n";
        if (!write_file(unit, include + include + "int main() { return 0; }\n")) return "cannot write " + unit;
        std::string command = std::string("'") + ZEL_CXX + "' -std=" + standard +
                              " -fsyntax-only -Wall -Wextra -Wshadow -Werror -I '" + s_root + "/zel' '" + unit + "'";
        std::string output;
        int status = run(command, output);
        return status == 0 ? std::string() : command + "\n" + output;
    }

    static std::string s_root;
};

std::string PublicHeaders::s_root;

TEST_F(PublicHeaders, IncludeOnlyPublicHeaders) {
    const std::vector<std::string> headers = public_headers();
    ASSERT_GE(headers.size(), 10u);
    // The internal headers stay out of the installed set.
    for (const char* internal : {"protocol/lock.h", "protocol/live_callers.h"})
        EXPECT_EQ(std::count(headers.begin(), headers.end(), internal), 0) << internal << " is internal";

    for (const std::string& header : headers) {
        std::string text = read_file(std::string(ZEL_SOURCE_DIR) + "/" + header);
        ASSERT_FALSE(text.empty()) << header;
        for (const std::string& included : quoted_includes(text)) {
            EXPECT_NE(std::find(headers.begin(), headers.end(), included), headers.end())
                << header << " includes \"" << included << "\", which is not installed";
        }
    }
}

TEST_F(PublicHeaders, EachCompilesAloneInCxx17) {
    for (const std::string& header : public_headers()) {
        SCOPED_TRACE(header);
        EXPECT_EQ(compile_alone(header, "c++17"), "");
    }
}

TEST_F(PublicHeaders, EachCompilesAloneInCxx20) {
    for (const std::string& header : public_headers()) {
        SCOPED_TRACE(header);
        EXPECT_EQ(compile_alone(header, "c++20"), "");
    }
}

// The check itself: a header that reaches for an internal one does not compile from the public folder.
TEST_F(PublicHeaders, InternalHeaderIsNotReachable) {
    std::string probe = s_root + "/zel/protocol/probe_internal.h";
    ASSERT_TRUE(write_file(probe, "#pragma once\n#include \"protocol/lock.h\"\n"));
    EXPECT_NE(compile_alone("protocol/probe_internal.h", "c++17"), "");
    unlink(probe.c_str());
}

}  // namespace
