#include "strangers.h"

#include <arpa/inet.h>

#include <filesystem>

#include "tools/tqr/words.h"

namespace harness {

namespace {

const milliseconds kTool(60000);

}  // namespace

int stranger_connect(int port) { return connect_to(port, false, kStrangerAddress); }

CodeSender::CodeSender(const std::vector<std::string>& args, const TempDir& dir, const std::vector<std::string>& env)
    : TqrProcess(args, dir.path(), env) {
    if (!wait_for_out("tqr receive ", kTool) || !wait_for_out("\n\n", kTool)) return;
    std::string text = out();
    size_t at = text.find("Code: ");
    if (at == std::string::npos) return;
    at += 6;
    code = text.substr(at, text.find('\n', at) - at);
    nameplate = static_cast<unsigned>(strtoul(code.c_str(), nullptr, 10));
}

bool honest_receive(const TempDir& dir, const std::string& code, const std::string& name, const std::string& expected,
                    const std::vector<std::string>& env) {
    static int serial = 0;
    std::string into = dir / ("honest-" + std::to_string(++serial));
    std::filesystem::create_directory(into);
    TqrProcess receive({"receive", "--host", "127.0.0.1", code}, into, env);
    return receive.wait(kTool) == 0 && read_file(into + "/" + name) == expected;
}

bool honest_transfer(const TempDir& dir, const std::vector<std::string>& env) {
    static int serial = 0;
    std::string name = "honest-" + std::to_string(++serial) + ".bin";
    std::string payload = random_bytes(64 * 1024 + static_cast<size_t>(serial), static_cast<unsigned>(serial));
    write_file(dir / name, payload);
    CodeSender sender({"send", "--count", "1", name}, dir, env);
    return sender.shown() && honest_receive(dir, sender.code, name, payload, env) && sender.wait(kTool) == 0;
}

const std::vector<StrangerAttack>& stranger_attacks() {
    static const std::vector<StrangerAttack> table = [] {
        std::vector<StrangerAttack> all;
        for (auto rows : {code_attacks, coordinator_attacks, text_attacks}) {
            std::vector<StrangerAttack> some = rows();
            all.insert(all.end(), some.begin(), some.end());
        }
        return all;
    }();
    return table;
}

}  // namespace harness
