// The coordinator's port pool: where its ports come from, the order in which they are lent and taken
// back, and the two ways a loop waits for a port. Each case builds its own Portmanager after setting
// the environment; nothing here listens on a port.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/portmanager.h"
#include "test_support.h"

namespace {

// Sets the two port settings for one case and puts back what ctest gave the process.
class PortSettings {
public:
    PortSettings(const char* coordinator, const char* top) {
        save("TQR_COORDINATOR_PORT", &m_coordinator);
        save("TQR_TOP_PORT", &m_top);
        put("TQR_COORDINATOR_PORT", coordinator);
        put("TQR_TOP_PORT", top);
    }
    ~PortSettings() {
        put("TQR_COORDINATOR_PORT", m_coordinator.first ? m_coordinator.second.c_str() : nullptr);
        put("TQR_TOP_PORT", m_top.first ? m_top.second.c_str() : nullptr);
    }
    static void put(const char* name, const char* value) {
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }

private:
    static void save(const char* name, std::pair<bool, std::string>* out) {
        const char* value = getenv(name);
        *out = {value != nullptr, value ? value : ""};
    }
    std::pair<bool, std::string> m_coordinator, m_top;
};

std::string pop(Portmanager& pool) { return *pool.pop_port(); }

TEST(PortmanagerTest, DefaultsLendInOrderRecycleToTheBackAndWaitWhenEmpty) {
    zel_set_quiet(0);
    PortSettings settings(nullptr, nullptr);
    zel_test::StderrCapture captured;
    Portmanager pool;
    EXPECT_EQ(pool.coord_port(), 7200);
    EXPECT_EQ(pool.top_port(), 7220);
    ASSERT_EQ(pool.free_count(), 20u);

    const std::string* first = pool.pop_port();
    EXPECT_EQ(*first, "7201");
    EXPECT_EQ(pop(pool), "7202");
    EXPECT_EQ(pool.recycle_port("7201"), 1);
    for (int port = 7203; port <= 7220; ++port) EXPECT_EQ(pop(pool), std::to_string(port));
    // 7201 went to the back, and the text handed out is the pool's own, every time.
    EXPECT_EQ(pool.pop_port(), first);
    EXPECT_EQ(pool.free_count(), 0u);

    // A twenty-first pop waits until some thread recycles a port, and then gets that port.
    std::atomic<bool> got{false};
    std::string popped;
    std::thread waiter([&] {
        popped = pop(pool);
        got = true;
    });
    EXPECT_FALSE(zel_test::wait_until([&] { return got.load(); }, std::chrono::milliseconds(100)));
    EXPECT_EQ(pool.recycle_port("7213"), 1);
    EXPECT_TRUE(zel_test::wait_until([&] { return got.load(); }));
    waiter.join();
    EXPECT_EQ(popped, "7213");

    // Recycling a port that is already free queues it twice: the pool is a queue, not a set.
    EXPECT_EQ(pool.recycle_port("7205"), 1);
    EXPECT_EQ(pool.recycle_port("7205"), 1);
    EXPECT_EQ(pool.free_count(), 2u);

    std::string text = captured.text();
    EXPECT_NE(text.find("getservbyname returned = 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("portmanager constructed\n"), std::string::npos);
    EXPECT_NE(text.find(" popped port 7201 \n"), std::string::npos);
    EXPECT_NE(text.find(" recycling port 7213 \n"), std::string::npos);
    EXPECT_EQ(text.find("m_coord_port="), std::string::npos);
}

TEST(PortmanagerTest, TextsMatchExactlyAndRetiredPortsStayOut) {
    zel_set_quiet(0);
    PortSettings settings(nullptr, nullptr);
    Portmanager pool;
    zel_test::StderrCapture captured;
    EXPECT_EQ(pool.recycle_port("07201"), 0);
    EXPECT_EQ(pool.recycle_port("abc"), 0);
    EXPECT_EQ(pool.recycle_port("7221"), 0);
    EXPECT_EQ(pool.recycle_port("7200"), 0);
    EXPECT_EQ(pool.free_count(), 20u);
    std::string text = captured.text();
    EXPECT_NE(text.find(" port 07201 not among ports\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" port abc not among ports\n"), std::string::npos);

    EXPECT_EQ(pop(pool), "7201");
    size_t written = captured.text().size();
    EXPECT_EQ(pool.mark_in_use("7201"), 1);
    EXPECT_EQ(pool.mark_in_use("abc"), 0);
    EXPECT_EQ(pool.mark_in_use(" 7202"), 0);
    EXPECT_EQ(pool.mark_in_use(nullptr), 0);
    EXPECT_EQ(captured.text().size(), written) << "mark_in_use writes nothing";
    for (int i = 0; i < 19; ++i) EXPECT_NE(pop(pool), "7201");
    EXPECT_EQ(pool.free_count(), 0u);
    // Only a recycle by name brings a retired port back.
    EXPECT_EQ(pool.recycle_port("7201"), 1);
    EXPECT_EQ(pop(pool), "7201");
}

TEST(PortmanagerTest, SettingsTakePrecedenceAndTheTopLiesAboveTheCoordinator) {
    zel_set_quiet(0);
    struct Case {
        const char* coordinator;
        const char* top;
        int want_coordinator;
        int want_top;
    };
    const Case cases[] = {
        {"9000", nullptr, 9000, 9020},  // 7220 is not above 9000
        {"5000", nullptr, 5000, 7220},
        {"8000", "8000", 8000, 8020},   // top equal to the coordinator: twenty ports
        {"8000", "7999", 8000, 8020},
        {nullptr, "7300", 7200, 7300},
        {"0", "0", 7200, 7220},
        {"6100", "6105", 6100, 6105},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.coordinator ? c.coordinator : "unset") + "/" + (c.top ? c.top : "unset"));
        PortSettings settings(c.coordinator, c.top);
        zel_test::StderrCapture captured;
        Portmanager pool;
        EXPECT_EQ(pool.coord_port(), c.want_coordinator);
        EXPECT_EQ(pool.top_port(), c.want_top);
        EXPECT_EQ(pool.free_count(), static_cast<size_t>(c.want_top - c.want_coordinator));
        EXPECT_EQ(pop(pool), std::to_string(c.want_coordinator + 1));
        // Every port of the pool, in ascending order, once.
        int expected = c.want_coordinator + 2;
        while (pool.free_count() > 0) EXPECT_EQ(pop(pool), std::to_string(expected++));
        EXPECT_EQ(expected, c.want_top + 1);
        bool set = c.coordinator && atoi(c.coordinator) != 0;
        std::string text = captured.text();
        EXPECT_EQ(text.find("m_coord_port=" + std::to_string(c.want_coordinator) + "\n") != std::string::npos, set);
        EXPECT_EQ(text.find("getservbyname returned = ") != std::string::npos, !set);
    }
}

TEST(PortmanagerTest, ALoopThatMustNotBlockIsWokenWhenAPortComesBack) {
    PortSettings settings("9100", "9102");
    Portmanager pool;
    Caller first, second;
    EXPECT_EQ(*pool.pop_port_or_wait(&first), "9101");
    EXPECT_EQ(*pool.pop_port_or_wait(&first), "9102");
    EXPECT_EQ(pool.pop_port_or_wait(&first), nullptr);
    EXPECT_EQ(pool.pop_port_or_wait(&first), nullptr);  // asked twice, listed once
    EXPECT_EQ(pool.pop_port_or_wait(&second), nullptr);
    ASSERT_EQ(pool.m_waiters.size(), 2u);

    // The oldest waiter is woken by the first port recycled, the next by the second.
    EXPECT_EQ(pool.recycle_port("9102"), 1);
    ASSERT_EQ(pool.m_waiters.size(), 1u);
    EXPECT_EQ(pool.m_waiters.front(), &second);
    pool.forget_waiter(&second);
    EXPECT_TRUE(pool.m_waiters.empty());
    EXPECT_EQ(pool.recycle_port("9101"), 1);
    EXPECT_EQ(*pool.pop_port_or_wait(&second), "9102");
    EXPECT_EQ(*pool.pop_port_or_wait(&second), "9101");
    EXPECT_TRUE(pool.m_waiters.empty());
}

// Runs `body` in a child with a mount namespace of its own, where /etc/services is replaced by a file
// that this test writes: the machine's services database is never touched. The child's report comes
// back through a pipe; "skip: ..." when the namespace or the mount is not permitted.
std::string with_private_services(const std::string& services, const std::function<std::string()>& body) {
    char path[] = "/tmp/zel_services_XXXXXX";
    int file = mkstemp(path);
    bool written = write(file, services.data(), services.size()) == static_cast<ssize_t>(services.size());
    close(file);
    int link[2];
    if (!written || pipe(link) != 0) return "skip: no temporary file";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        std::string report = "skip: unshare(CLONE_NEWNS) or a bind mount over /etc/services not permitted";
        if (unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            mount(path, "/etc/services", nullptr, MS_BIND, nullptr) == 0)
            report = body();
        _exit(write(link[1], report.data(), report.size()) < 0);
    }
    close(link[1]);
    std::string report = child < 0 ? "skip: fork failed" : "";
    char chunk[4096];
    pollfd ready{link[0], POLLIN, 0};
    for (ssize_t n; child > 0 && poll(&ready, 1, 20000) > 0 && (n = read(link[0], chunk, sizeof chunk)) > 0;)
        report.append(chunk, static_cast<size_t>(n));
    if (child > 0) waitpid(child, nullptr, 0);
    close(link[0]);
    unlink(path);
    return report;
}

// The ports a Portmanager settles under the given settings, and its lines about where they came from.
std::string settle(const char* coordinator, const char* top) {
    PortSettings::put("TQR_COORDINATOR_PORT", coordinator);
    PortSettings::put("TQR_TOP_PORT", top);
    zel_test::StderrCapture captured;
    Portmanager pool;
    std::istringstream lines(captured.text());
    std::string report = std::to_string(pool.coord_port()) + " " + std::to_string(pool.top_port()) + "\n";
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("servent", 0) == 0 || line.rfind("m_coord", 0) == 0 || line == "getservbyname returned = 0")
            report += line + "\n";
    return report;
}

TEST(PortmanagerTest, ServicesDatabaseNamesPortsWhenTheSettingIsZero) {
    zel_set_quiet(0);
    // 7300 is 0x1C84 and 7330 is 0x1CA2: their raw fields read back byte-swapped as signed 16-bit.
    std::string both = with_private_services("zeltqr 7300/tcp\nzeltqrtop 7330/tcp\n", [] {
        return settle(nullptr, "7500") + settle("7400", "7500") + settle("0", nullptr);
    });
    if (both.rfind("skip: ", 0) == 0) GTEST_SKIP() << both.substr(6);
    EXPECT_EQ(both,
              "7300 7330\nservent returned port = -31716 7300\nservent returned port = -24036 7330\n"
              "7400 7500\nm_coord_port=7400\n"
              "7300 7330\nservent returned port = -31716 7300\nservent returned port = -24036 7330\n");

    // Only the coordinator's service: the top comes from the setting, or is raised above the port.
    std::string coordinator_only = with_private_services("zeltqr 7300/tcp\n", [] {
        return settle(nullptr, "7310") + settle(nullptr, nullptr);
    });
    EXPECT_EQ(coordinator_only,
              "7300 7310\nservent returned port = -31716 7300\ngetservbyname returned = 0\n"
              "7300 7320\nservent returned port = -31716 7300\ngetservbyname returned = 0\n");
}

}  // namespace
