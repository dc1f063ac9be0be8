// Strangers against the coordinators `tqr` uses: a shared `tqr coordinator`, and the one `tqr send`
// serves itself.
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "protocol/phrase.h"
#include "strangers.h"
#include "code/words.h"

namespace harness {

namespace {

// A second stranger's own address, for a coordinator that one address alone may not fill.
constexpr const char* kOtherStranger = "127.0.0.3";

// `count` endstations of `conference` from `from`, joined as far as the coordinator lets them.
std::vector<std::unique_ptr<RawParty>> squat(int count, const char* from, const std::function<std::string(int)>& conference) {
    std::vector<std::unique_ptr<RawParty>> parties;
    for (int i = 0; i < count; ++i) {
        parties.emplace_back(new RawParty);
        parties.back()->join(ROLE_ENDSTATION, conference(i), "squatter", 4, false, from);
    }
    return parties;
}

// One address holds at most its share of the party slots; a coordinator that is full says so.
bool slot_squatters(const TempDir& dir) {
    bool told;
    {
        ToolCoordinator small(dir, {"TQR_MAX_PARTIES=8", "TQR_MAX_PARTIES_PER_SOURCE=4"});
        bool ready = small.ready();
        auto first = squat(4, kStrangerAddress, [](int) { return "squat"; });
        auto second = squat(4, kOtherStranger, [](int) { return "squat"; });
        TqrProcess turned({"receive", "--host", "127.0.0.1", "--conference", "c"}, dir.path(),
                          {"TQR_KEY=a-long-enough-key-1234"});
        told = ready && turned.wait(kTool) == 2 &&
               turned.wait_for_err("127.0.0.1:" + std::to_string(coordinator_port()) + " is full");
        small.signal(SIGTERM);
        small.wait(kTool);
    }
    ToolCoordinator coordinator(dir, {"TQR_MAX_PARTIES=32", "TQR_MAX_PARTIES_PER_SOURCE=14"});
    bool ready = coordinator.ready();
    auto squatters = squat(20, kStrangerAddress, [](int) { return "squat"; });
    bool shared = ready && coordinator.wait_for_err("refused reason=max_per_source count=", kTool) &&
                  honest_transfer(dir);
    squatters.clear();
    return told && shared && honest_transfer(dir);
}

// One address waits in at most a few conferences that have no sender: it cannot hold every code.
bool code_squatters(const TempDir& dir) {
    ToolCoordinator coordinator(dir, {"TQR_MAX_WAITING_CONFERENCES=4"});
    if (!coordinator.ready()) return false;
    auto squatters = squat(9, kStrangerAddress, [](int i) { return tqr::conference_of(static_cast<unsigned>(i + 1)); });
    // Four conferences keep their squatter, whichever four the coordinator took first; the other five
    // drop theirs.
    const std::string dropped = "dropped reason=waiting_conferences role=endstation conference=";
    bool capped = coordinator.wait_for_err(dropped, kTool, 5);
    size_t kept = 0;
    for (unsigned plate = 1; plate <= 9 && capped; ++plate) {
        size_t told = occurrences(coordinator.err(), dropped + tqr::conference_of(plate) + " ");
        capped = told <= 1 && (told == 0 || squatters[plate - 1]->wait_end());
        kept += told == 0;
    }
    capped = capped && kept == 4;
    // Whatever nameplate an honest sender draws, a squatter waiting there delays it by a nomination only.
    return capped && honest_transfer(dir, {"TQR_CODE_NAMEPLATES=9"}) &&
           honest_transfer(dir, {"TQR_CODE_NAMEPLATES=9"});
}

// The coordinator of `tqr send` serves its own code only, and its strangers stay within its descriptors.
bool strangers_at_a_senders_coordinator(const TempDir& dir) {
    std::string payload = random_bytes(100000, 7);
    write_file(dir / "mine.bin", payload);
    CodeSender sender({"/usr/bin/prlimit", "--nofile=400", ZEL_TQR_PATH, "send", "--count", "1", "mine.bin"}, dir);
    if (!sender.shown()) return false;
    RawParty other_sender, other_endstation;
    other_sender.join(ROLE_SENDER, "someone-else", "s", 4, false, kStrangerAddress);
    other_endstation.join(ROLE_ENDSTATION, "someone-else", "e", 4, false, kStrangerAddress);
    bool refused = other_sender.expect("RejectedSender ").type == MSG_REJECTED_SENDER && other_endstation.wait_end();
    std::vector<int> idle;
    for (int i = 0; i < 600; ++i) idle.push_back(stranger_connect(coordinator_port()));
    bool served = honest_receive(dir, sender.code, "mine.bin", payload) && sender.wait(kTool) == 0;
    for (int fd : idle)
        if (fd >= 0) close(fd);
    return refused && served;
}

// Endstations that are sent to a `--count 1` sender's port and leave without going there take
// nothing from its count: the honest receiver after them is served.
bool leavers_at_a_counted_sender(const TempDir& dir) {
    std::string payload = random_bytes(50000, 8);
    write_file(dir / "counted.bin", payload);
    CodeSender sender({"send", "--count", "1", "counted.bin"}, dir);
    if (!sender.shown()) return false;
    bool sent_on = true;
    for (int i = 0; i < 12 && sent_on; ++i) {
        RawParty leaver;
        sent_on = leaver.join(ROLE_ENDSTATION, tqr::conference_of(sender.parsed.nameplate), "l", 4, false,
                              kStrangerAddress) &&
                  leaver.expect("Connect ").type == MSG_CONNECT;
    }
    return sent_on && honest_receive(dir, sender.code, "counted.bin", payload) && sender.wait(kTool) == 0;
}

}  // namespace

std::vector<StrangerAttack> coordinator_attacks() {
    return {
        {"one address takes every party slot of a shared coordinator", slot_squatters},
        {"one address waits in every code conference of a shared coordinator", code_squatters},
        {"strangers use the coordinator of tqr send for their own conference, or take its descriptors",
         strangers_at_a_senders_coordinator},
        {"endstations leave a --count sender's conference once they are sent to its port", leavers_at_a_counted_sender},
    };
}

}  // namespace harness
