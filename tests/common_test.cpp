// The support layer: settings, inform lines and the log stream, as many library threads use them.
#include "test_support.h"

namespace {

constexpr int kThreads = 8;
constexpr int kLines = 2000;

// Every 7th line is longer than zel_inform's on-stack buffer, so both formatting paths take part.
std::string padding(int line) { return std::string(line % 7 == 0 ? 700 : 20, 'a' + line % 26); }

// Writes kLines lines "t<thread> n<line> <padding>" from each of kThreads threads at once, then checks
// that `read_back` gives exactly those lines, whole, each thread's in its order.
template <typename WriteLine>
void expect_whole_lines(WriteLine write_line, const std::function<std::string()>& read_back) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &write_line] {
            for (int n = 0; n < kLines; ++n) write_line(t, n, padding(n));
        });
    for (auto& thread : threads) thread.join();
    const std::string text = read_back();
    std::istringstream in(text);
    std::vector<int> next(kThreads, 0);
    int bad = 0, total = 0;
    for (std::string line; std::getline(in, line); ++total) {
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

TEST(CommonTest, EnvGetIntPrefersEnvironmentThenDefault) {
    const char* name = "ZEL_COMMON_TEST_SETTING";
    unsetenv(name);
    EXPECT_EQ(zel_env_get_int(name), 0);  // neither set nor defaulted
    zel_env_set_default(name, "7200");
    zel_env_set_default(name, "7300");  // a later default replaces the earlier one
    EXPECT_EQ(zel_env_get_int(name), 7300);
    const std::pair<const char*, int> set[] = {{"19001", 19001}, {"not-a-port", 0}, {"42abc", 42}};
    for (const auto& [value, expected] : set) {  // set wins over the default, even when it is no number
        setenv(name, value, 1);
        EXPECT_EQ(zel_env_get_int(name), expected) << value;
    }
    unsetenv(name);
    EXPECT_EQ(zel_env_get_int(name), 7300);
}

TEST(CommonTest, InformLinesStayWholeFromManyThreadsAndQuietSilencesThem) {
    zel_test::StderrCapture capture;
    zel_set_quiet(1);
    EXPECT_EQ(zel_inform(stderr, "hidden %d\n", 1), 0);
    zel_set_quiet(0);
    EXPECT_EQ(zel_inform(stderr, "shown %s %d %x\n", "x", 2, 255), 13);
    EXPECT_EQ(capture.text(), "shown x 2 ff\n");

    zel_test::StderrCapture lines;
    expect_whole_lines(
        [](int t, int n, const std::string& pad) { zel_inform(stderr, "t%d n%d %s\n", t, n, pad.c_str()); },
        [&] { return lines.text(); });
}

TEST(CommonTest, LogLinesFromManyThreadsStayWhole) {
    zel::logline("dropped while closed");  // the stream is not open: nothing happens
    zel_test::LogCapture log;
    expect_whole_lines([](int t, int n, const std::string& pad) { zel::logline("t", t, " n", n, " ", pad); },
                       [&] { return log.text(); });
}

}  // namespace
