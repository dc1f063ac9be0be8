// The coordinator's port pool: where its ports come from, the order in which they are lent and taken
// back, and the two ways a loop waits for a port. Each case builds its own Portmanager after setting
// the environment; nothing here listens on a port.
#include "protocol/portmanager.h"
#include "test_support.h"

namespace {

void put(const char* name, const char* value) {
    if (value) {
        setenv(name, value, 1);
    } else {
        unsetenv(name);
    }
}

// Sets the two port settings for one case and puts back what ctest gave the process.
class PortSettings {
public:
    PortSettings(const char* coordinator, const char* top) {
        put("TQR_COORDINATOR_PORT", coordinator);
        put("TQR_TOP_PORT", top);
    }
    ~PortSettings() {
        put("TQR_COORDINATOR_PORT", m_coordinator.empty() ? nullptr : m_coordinator.c_str());
        put("TQR_TOP_PORT", m_top.empty() ? nullptr : m_top.c_str());
    }

private:
    static std::string saved(const char* name) { return getenv(name) ? getenv(name) : ""; }
    std::string m_coordinator = saved("TQR_COORDINATOR_PORT"), m_top = saved("TQR_TOP_PORT");
};

std::string pop(Portmanager& pool) { return *pool.pop_port(); }

TEST(PortmanagerTest, DefaultPoolLendsInOrderTakesExactTextsAndWaitsWhenEmpty) {
    zel_set_quiet(0);
    PortSettings settings(nullptr, nullptr);
    zel_test::StderrCapture captured;
    Portmanager pool;
    EXPECT_EQ(pool.coord_port(), 7200);
    EXPECT_EQ(pool.top_port(), 7220);
    for (const char* wrong : {"07201", "abc", "7221", "7200"}) EXPECT_EQ(pool.recycle_port(wrong), 0) << wrong;
    ASSERT_EQ(pool.free_count(), 20u);

    const std::string* first = pool.pop_port();
    EXPECT_EQ(*first, "7201");
    EXPECT_EQ(pool.recycle_port("7201"), 1);
    EXPECT_EQ(pop(pool), "7202");
    // A port marked in use is retired: it stays out until a recycle names it.
    size_t written = captured.text().size();
    EXPECT_EQ(pool.mark_in_use("7202"), 1);
    for (const char* wrong : {"abc", " 7203", static_cast<const char*>(nullptr)}) EXPECT_EQ(pool.mark_in_use(wrong), 0);
    EXPECT_EQ(captured.text().size(), written) << "mark_in_use writes nothing";
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
    EXPECT_EQ(pool.recycle_port("7202"), 1);
    EXPECT_TRUE(zel_test::wait_until([&] { return got.load(); }));
    waiter.join();
    EXPECT_EQ(popped, "7202");

    std::string text = captured.text();
    for (const char* line : {"getservbyname returned = 0\n", "portmanager constructed\n", " port 07201 not among ports\n",
                             " popped port 7201 \n", " recycling port 7202 \n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    EXPECT_EQ(text.find("m_coord_port="), std::string::npos);
}

TEST(PortmanagerTest, SettingsTakePrecedenceAndTheTopLiesAboveTheCoordinator) {
    zel_set_quiet(1);
    struct Case {
        const char* coordinator;
        const char* top;
        int want_coordinator;
        int want_top;
    };
    const Case cases[] = {
        {"9000", nullptr, 9000, 9020},  // 7220 is not above 9000
        {"5000", nullptr, 5000, 7220},
        {"8000", "8000", 8000, 8020},  // top equal to the coordinator: twenty ports
        {nullptr, "7300", 7200, 7300},
        {"0", "0", 7200, 7220},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.coordinator ? c.coordinator : "unset") + "/" + (c.top ? c.top : "unset"));
        PortSettings settings(c.coordinator, c.top);
        Portmanager pool;
        EXPECT_EQ(pool.coord_port(), c.want_coordinator);
        EXPECT_EQ(pool.top_port(), c.want_top);
        EXPECT_EQ(pool.free_count(), static_cast<size_t>(c.want_top - c.want_coordinator));
        EXPECT_EQ(pop(pool), std::to_string(c.want_coordinator + 1));
    }
}

TEST(PortmanagerTest, ALoopThatMustNotBlockIsWokenWhenAPortComesBack) {
    zel_set_quiet(1);
    PortSettings settings("9100", "9102");
    Portmanager pool;
    Caller first, second;
    EXPECT_EQ(*pool.pop_port_or_wait(&first), "9101");
    EXPECT_EQ(*pool.pop_port_or_wait(&first), "9102");
    EXPECT_EQ(pool.pop_port_or_wait(&first), nullptr);
    EXPECT_EQ(pool.pop_port_or_wait(&first), nullptr);  // asked twice, listed once
    EXPECT_EQ(pool.pop_port_or_wait(&second), nullptr);
    ASSERT_EQ(pool.m_waiters.size(), 2u);

    // The oldest waiter is woken by the first port recycled; a waiter that leaves is forgotten.
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

// The checks run in a copy of this executable inside a mount namespace of its own, where
// /etc/services is a file written here: the machine's services database is never touched.
TEST(PortmanagerTest, ServicesDatabaseNamesPortsWhenTheSettingIsZero) {
    zel_set_quiet(0);
    if (const char* services = getenv("ZEL_TEST_SERVICES")) {
        using Settings = std::vector<std::pair<const char*, const char*>>;
        const bool two = std::string(services) == "both";
        std::string report;
        for (const auto& [coordinator, top] : two ? Settings{{nullptr, "7500"}, {"7400", "7500"}, {"0", nullptr}}
                                                  : Settings{{nullptr, "7310"}, {nullptr, nullptr}}) {
            PortSettings setting(coordinator, top);
            zel_test::StderrCapture captured;
            Portmanager pool;
            report += std::to_string(pool.coord_port()) + " " + std::to_string(pool.top_port()) + "\n";
            std::istringstream lines(captured.text());
            for (std::string line; std::getline(lines, line);)
                if (line.rfind("servent", 0) == 0 || line.rfind("m_coord", 0) == 0 || line == "getservbyname returned = 0")
                    report += line + "\n";
        }
        // 7300 is 0x1C84 and 7330 is 0x1CA2: their raw fields read back byte-swapped as signed 16-bit.
        const std::string coordinator = "servent returned port = -31716 7300\n";
        const std::string from_both = "7300 7330\n" + coordinator + "servent returned port = -24036 7330\n";
        // Only the coordinator's service: the top comes from the setting, or is raised above the port.
        EXPECT_EQ(report, two ? from_both + "7400 7500\nm_coord_port=7400\n" + from_both
                              : "7300 7310\n" + coordinator + "getservbyname returned = 0\n7300 7320\n" + coordinator +
                                    "getservbyname returned = 0\n");
        return;
    }
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    for (const auto& [name, services] : {std::pair<std::string, std::string>{"both", "zeltqr 7300/tcp\nzeltqrtop 7330/tcp\n"},
                                         {"coordinator", "zeltqr 7300/tcp\n"}}) {
        char path[] = "/tmp/zel_services_XXXXXX";
        int file = mkstemp(path);
        ASSERT_EQ(write(file, services.data(), services.size()), static_cast<ssize_t>(services.size()));
        close(file);
        zel_test::RunResult child = zel_test::run(
            "unshare --mount --propagation private sh -c \"mount --bind " + std::string(path) +
            " /etc/services && ZEL_TEST_SERVICES=" + name + " exec '" + self +
            "' --gtest_filter=PortmanagerTest.ServicesDatabaseNamesPortsWhenTheSettingIsZero\"");
        unlink(path);
        if (child.output.find("[==========]") == std::string::npos)
            GTEST_SKIP() << "no mount namespace with a private /etc/services here: " << child.output;
        EXPECT_EQ(child.status, 0) << child.output;
    }
}

}  // namespace
