// Texts of a peer's or a file system's making against the screens they reach: a folder's names, a
// nickname, the port of "Connect ". Each would clear the screen, forge a line or turn one around if it
// reached a terminal as it came.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <thread>

#include "strangers.h"
#include "code/words.h"

namespace harness {

namespace {

// ESC, CR, a C1 CSI (raw and as UTF-8) and U+202E: none may reach a screen as it came.
bool raw_free(const std::string& shown) {
    for (const char* raw : {"\x1b", "\r", "\x9b", "\xe2\x80\xae"})
        if (shown.find(raw) != std::string::npos) return false;
    return true;
}

// `escaped` as a --json string value holds it.
std::string in_json(const std::string& escaped) {
    std::string out;
    for (char c : escaped) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return out;
}

// A folder whose name opens a C1 sequence (raw 0x9B) and reverses what follows (U+202E), with a script
// of its own, which passes; its entry would clear the screen and forge a "done" line (ESC, CR). Names
// with C0 controls never name what a receiver stores, so only its disk shows the entry's.
const std::string kTop = "r \x9b" "2m\xe2\x80\xae" "fdp.日本";
const std::string kTopShown = "r \\x9b2m\\xe2\\x80\\xae" "fdp.日本";
const std::string kEntry = kTop + "/e\x1b[2J\rtqr receive: done";

bool folder_names(const TempDir& dir) {
    std::filesystem::create_directory(dir / kTop);
    write_file(dir / kEntry, "inside");
    CodeSender sender({"send", "--json", "--count", "2", kTop}, dir);
    std::string into = dir / "into";
    std::filesystem::create_directory(into);
    TqrProcess first({"receive", "--host", "127.0.0.1", sender.code}, into);
    bool shown = sender.shown() && first.wait(kTool) == 0 && first.err().find(kTopShown) != std::string::npos &&
                 read_file(into + "/" + kEntry) == "inside";
    // Again into the same folder: refused, with the name in the --json error, and the sender's note.
    TqrProcess again({"receive", "--host", "127.0.0.1", "--json", sender.code}, into);
    shown = shown && again.wait(kTool) > 0 && again.err().find(in_json(kTopShown)) != std::string::npos &&
            sender.wait_for_err(in_json(kTopShown), kTool);
    sender.signal(SIGTERM);
    sender.wait(kTool);
    return shown && raw_free(first.err() + again.err() + sender.err()) && honest_transfer(dir);
}

const std::string kNick = "n\xc2\x9b" "6n\x1b]0;owned\x07\x9b";
const std::string kNickShown = "n\\xc2\\x9b6n\\x1b]0;owned\\x07\\x9b";

bool nickname(const TempDir& dir) {
    ToolCoordinator coordinator(dir);
    if (!coordinator.ready()) return false;
    write_file(dir / "file", "payload");
    CodeSender sender({"send", "--host", "127.0.0.1", "--json", "--count", "1", "file"}, dir);
    std::string into = dir / "into";
    std::filesystem::create_directory(into);
    TqrProcess receive({"receive", "--host", "127.0.0.1", "--nickname", kNick, sender.code}, into);
    bool shown = sender.shown() && receive.wait(kTool) == 0 && sender.wait(kTool) == 0 &&
                 sender.err().find("\"nickname\":\"" + in_json(kNickShown) + "\"") != std::string::npos &&
                 coordinator.wait_for_err("nickname=\"" + kNickShown + "\"", kTool);
    return shown && honest_transfer(dir) && raw_free(sender.err() + coordinator.err());
}

// Waits for one connection on `listening`: its descriptor, or -1.
int accept_one(int listening, int limit_ms) {
    pollfd ready{listening, POLLIN, 0};
    return poll(&ready, 1, limit_ms) == 1 ? accept(listening, nullptr, nullptr) : -1;
}

// A coordinator of a stranger's: a "Connect " whose port is followed by an escape sequence, then a
// well-formed one. The endstation must dial only the second.
bool connect_port(const TempDir& dir) {
    int front = listen_on(free_port(40)), decoy = listen_on(free_port(41)), direct = listen_on(free_port(42));
    TqrProcess receive({"receive", "--host", "127.0.0.1", "--verbose", tqr::make_code()}, dir.path(),
                       {"TQR_COORDINATOR_PORT=" + std::to_string(free_port(40))});
    RawParty party;
    party.adopt(accept_one(front, static_cast<int>(kStep.count())));
    bool ignored = party.say("TQR Coordinator 1.2");
    for (int line = 0; line < 4; ++line) ignored = ignored && !party.hear().empty();
    ignored = ignored && party.say("Connect 0x1234 " + std::to_string(free_port(41)) + "\x1b[2J") &&
              party.say("Connect 0x1234 " + std::to_string(free_port(42)));
    int dialled = ignored ? accept_one(direct, static_cast<int>(kStep.count())) : -1;
    // Messages are taken in order, and a dial is in the backlog once connect() returned.
    pollfd decoy_ready{decoy, POLLIN, 0};
    ignored = dialled >= 0 && poll(&decoy_ready, 1, 0) == 0;
    party.hang_up();
    for (int fd : {dialled, front, decoy, direct})
        if (fd >= 0) close(fd);
    ignored = ignored && receive.wait(kTool) > 0 && receive.err().find("\\x1b[2J") != std::string::npos &&
              raw_free(receive.err());
    return ignored && honest_transfer(dir);
}

// A coordinator of a stranger's that refuses the sender only once its code is out: the sender must
// not report the code as served, but say that it is void, and how to go on, and end with 3.
bool late_refusal(const TempDir& dir) {
    write_file(dir / "late", "payload");
    const struct {
        std::vector<std::string> args;
        const char* advice;
    } rows[] = {
        {{"send", "--host", "127.0.0.1", "late"}, "that code is void. Run tqr send again"},
        {{"send", "--host", "127.0.0.1", "--code", "77-zebra-zone-acid", "late"}, "that code is void. Choose a code"},
    };
    for (const auto& row : rows) {
        int front = listen_on(free_port(43));
        std::promise<bool> walked;
        RawParty party;
        std::thread coordinator([&] {
            party.adopt(accept_one(front, static_cast<int>(kStep.count())));
            bool ok = party.say("TQR Coordinator 1.2");
            for (int line = 0; line < 3; ++line) ok = ok && !party.hear().empty();
            walked.set_value(ok);
        });
        CodeSender sender(row.args, dir, {"TQR_COORDINATOR_PORT=" + std::to_string(free_port(43))});
        coordinator.join();
        bool refused = walked.get_future().get() && sender.shown() && party.say("RejectedSender 0x1234 ") &&
                       sender.wait(kTool) == 3 && sender.err().find(row.advice) != std::string::npos;
        party.hang_up();
        close(front);
        if (!refused) return false;
    }
    return honest_transfer(dir);
}

}  // namespace

std::vector<StrangerAttack> text_attacks() {
    return {
        {"a folder named with 0x9B and U+202E, its entry with ESC and CR", folder_names},
        {"a nickname with C1 and ESC sequences", nickname},
        {"a Connect port text followed by an escape sequence", connect_port},
        {"a refusal that comes after the code was shown", late_refusal},
    };
}

}  // namespace harness
