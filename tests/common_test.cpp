// The support layer: settings, inform lines and the log stream, as many library threads use them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/logmsg.h"
#include "common/zel_common.h"
#include "test_support.h"

namespace {

constexpr int kThreads = 8;
constexpr int kLines = 2000;

// Every 7th line is longer than zel_inform's on-stack buffer, so both formatting paths take part.
std::string padding(int line) { return std::string(line % 7 == 0 ? 700 : 20, 'a' + line % 26); }

// Checks that `text` is exactly kThreads x kLines whole lines "t<thread> n<line> <padding>", each
// thread's lines in their order.
void expect_whole_lines(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::vector<int> next(kThreads, 0);
    int bad = 0, total = 0;
    while (std::getline(in, line)) {
        ++total;
        int thread = -1, number = -1, used = 0;
        if (sscanf(line.c_str(), "t%d n%d %n", &thread, &number, &used) != 2 || thread < 0 ||
            thread >= kThreads || number != next[thread] || line.substr(used) != padding(number)) {
            if (++bad <= 3) ADD_FAILURE() << "broken line: " << line.substr(0, 80);
            continue;
        }
        ++next[thread];
    }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(total, kThreads * kLines);
    EXPECT_TRUE(text.empty() || text.back() == '\n');
}

template <typename WriteLine>
void write_from_threads(WriteLine write_line) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &write_line] {
            for (int n = 0; n < kLines; ++n) write_line(t, n);
        });
    for (auto& thread : threads) thread.join();
}

TEST(CommonTest, EnvGetIntPrefersEnvironmentThenDefault) {
    const char* name = "ZEL_COMMON_TEST_SETTING";
    unsetenv(name);
    EXPECT_EQ(zel_env_get_int(name), 0);  // neither set nor defaulted
    zel_env_set_default(name, "7200");
    EXPECT_EQ(zel_env_get_int(name), 7200);
    zel_env_set_default(name, "7300");  // a later default replaces the earlier one
    EXPECT_EQ(zel_env_get_int(name), 7300);
    setenv(name, "19001", 1);
    EXPECT_EQ(zel_env_get_int(name), 19001);
    setenv(name, "not-a-port", 1);
    EXPECT_EQ(zel_env_get_int(name), 0);  // set wins over the default, even when it is no number
    setenv(name, "42abc", 1);
    EXPECT_EQ(zel_env_get_int(name), 42);
    unsetenv(name);
    EXPECT_EQ(zel_env_get_int(name), 7300);
}

TEST(CommonTest, QuietSilencesInformLines) {
    zel_test::StderrCapture capture;
    zel_set_quiet(1);
    EXPECT_EQ(zel_quiet(), 1);
    EXPECT_EQ(zel_inform(stderr, "hidden %d\n", 1), 0);
    zel_set_quiet(0);
    EXPECT_EQ(zel_quiet(), 0);
    EXPECT_EQ(zel_inform(stderr, "shown %s %d %x\n", "x", 2, 255), 13);
    EXPECT_EQ(capture.text(), "shown x 2 ff\n");
}

TEST(CommonTest, InformLinesFromManyThreadsStayWhole) {
    zel_set_quiet(0);
    std::string text;
    {
        zel_test::StderrCapture capture;
        write_from_threads(
            [](int t, int n) { zel_inform(stderr, "t%d n%d %s\n", t, n, padding(n).c_str()); });
        text = capture.text();
    }
    expect_whole_lines(text);
}

TEST(CommonTest, LogLinesFromManyThreadsStayWhole) {
    char path[] = "/tmp/zel_logmsg_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    zel::logline("dropped while closed");  // the stream is not open: nothing happens
    g_logmsg.open(path);
    ASSERT_TRUE(g_logmsg.is_open());
    write_from_threads([](int t, int n) {
        std::string pad = padding(n);
        zel::logline("t", t, " n", n, " ", pad);
    });
    g_logmsg.close();
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    unlink(path);
    expect_whole_lines(text.str());
}

}  // namespace
