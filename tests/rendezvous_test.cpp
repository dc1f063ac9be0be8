// Whole rendezvous over loopback in one process: an in-process coordinator, senders and endstations
// running the same steps as their hosts would.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "protocol/portmanager.h"
#include "test_support.h"
#include "tools/tqr/coordinator_server.h"

namespace {

std::mutex g_bridged_mutex;
std::vector<int> g_bridged;

void keep_socket(int fd) {
    // The sender's library closes its socket when the callback returns; keep a copy for the test.
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    g_bridged.push_back(dup(fd));
}

struct Party {
    Caller caller;
    std::thread thread;
    std::atomic<bool> negotiated{false};
    std::atomic<bool> ended{false};

    void run(int type, const char* nickname, const char* confid, const char* key) {
        thread = std::thread([=] {
            if (caller.connect(zel_test::coordinator_port(), "127.0.0.1", type, nickname, confid, key) != 1) return;
            caller.startreadthread();
            if (caller.negotiate(1, type, ROLE_COORDINATOR) != 1) return;
            negotiated = true;
            caller.process();
            ended = true;
        });
    }
    void stop() {
        if (caller.m_conn->fd()) shutdown(caller.m_conn->fd(), SHUT_RDWR);
        if (thread.joinable()) thread.join();
    }
};

TEST(RendezvousTest, SenderServesEndstationsOneAfterAnother) {
    zel_set_quiet(1);
    set_bridge_callback(keep_socket);
    CoordinatorServer server;
    ASSERT_TRUE(server.start(zel_test::coordinator_port()));
    Party sender;
    sender.run(ROLE_SENDER, "s", "conf", "secret");
    ASSERT_TRUE(zel_test::wait_until([&] { return sender.negotiated.load(); }));
    size_t free_before = g_portmanager.free_count();
    for (int i = 0; i < 50; ++i) {
        Party endstation;
        endstation.run(ROLE_ENDSTATION, "e", "conf", "secret");
        ASSERT_TRUE(zel_test::wait_until([&] { return endstation.ended.load(); })) << "rendezvous " << i;
        endstation.thread.join();
    }
    EXPECT_TRUE(zel_test::wait_until([&] { return g_portmanager.free_count() == free_before; }));
    sender.stop();
    server.stop();
    std::lock_guard<std::mutex> guard(g_bridged_mutex);
    EXPECT_EQ(g_bridged.size(), 100u);
    for (int fd : g_bridged) close(fd);
    g_bridged.clear();
}

}  // namespace
