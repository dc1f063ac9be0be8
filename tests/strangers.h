// Strangers against `tqr`: one row per attack on the tool's headline flow (`tqr send FILE`, its own
// coordinator or a shared `tqr coordinator`, `tqr receive CODE`). Each row runs its attack from its own
// loopback address (127.0.0.2) and checks that an honest transfer from 127.0.0.1 completes during it and
// after it. The rows live in files by concern (strangers_*.cpp); strangers_test.cpp runs the table.
#ifndef ZEL_TESTS_STRANGERS_H
#define ZEL_TESTS_STRANGERS_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"
#include "code/words.h"

namespace harness {

// Where attackers come from: a loopback address of their own, so that per-source limits tell them from
// the honest parties at 127.0.0.1.
constexpr const char* kStrangerAddress = "127.0.0.2";

// A TCP socket bound to kStrangerAddress and connected to 127.0.0.1:port, or -1.
int stranger_connect(int port);

const milliseconds kTool = kToolStep;

// A `tqr send ARGS` in `dir`, with the code (parsed too) and the receive command it showed once it
// showed them.
struct CodeSender : TqrProcess {
    CodeSender(const std::vector<std::string>& args, const TempDir& dir, const std::vector<std::string>& env = {});
    bool shown() const { return !code.empty(); }
    std::string code, command;
    tqr::Code parsed;
};

// As an endstation that holds `code` (or a guess of it) on the direct link `link`: the hello and its
// CPace share, never a tag; false when the hello failed.
bool send_share(int link, const tqr::Code& code);
// What `fd` hears until its peer ends the link (or a receive times out).
std::string read_to_end(int fd);

// One honest `tqr receive --host 127.0.0.1 CODE` into a fresh folder below `dir`: true when it exited 0
// and wrote `expected` under `name`.
bool honest_receive(const TempDir& dir, const std::string& code, const std::string& name, const std::string& expected,
                    const std::vector<std::string>& env = {});
// A fresh `tqr send` of a new file in `dir` and one honest receive of it: true when both ended 0.
bool honest_transfer(const TempDir& dir, const std::vector<std::string>& env = {});

struct StrangerAttack {
    const char* name;
    // Runs the attack and the honest transfers during and after it, in `dir`; true when every check held.
    std::function<bool(const TempDir& dir)> run;
};

// The rows of each concern, and the whole table.
std::vector<StrangerAttack> code_attacks();
std::vector<StrangerAttack> coordinator_attacks();
std::vector<StrangerAttack> text_attacks();
const std::vector<StrangerAttack>& stranger_attacks();

}  // namespace harness

#endif
