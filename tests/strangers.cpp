#include "strangers.h"

#include <sys/socket.h>

#include <filesystem>

#include "code/code_link.h"
#include "code/pake.h"

namespace harness {

int stranger_connect(int port) { return connect_to(port, false, kStrangerAddress); }

CodeSender::CodeSender(const std::vector<std::string>& args, const TempDir& dir, const std::vector<std::string>& env)
    : TqrProcess(args, dir.path(), env) {
    if (!wait_for_out("tqr receive ", kTool) || !wait_for_out("\n\n", kTool)) return;
    std::string text = out();
    size_t at = text.find("Code: "), line = text.find("    ");
    if (at == std::string::npos || line == std::string::npos) return;
    code = text.substr(at + 6, text.find('\n', at) - at - 6);
    command = text.substr(line + 4, text.find('\n', line) - line - 4);
    tqr::parse_code(code, &parsed);
}

bool send_share(int link, const tqr::Code& code) {
    unsigned char nonce[tqr::kCodeNonceBytes] = {}, mine[tqr::kCodeHelloBytes], theirs[tqr::kCodeHelloBytes];
    if (tqr::exchange_hello(link, false, tqr::code_hello_magic(), nonce, sizeof nonce, mine, theirs) != tqr::CONFIRMED)
        return false;
    std::string conference = tqr::conference_of(code.nameplate), ad = tqr::code_ad(false, conference);
    tqr::CpaceSession cpace(false, tqr::code_password(code), tqr::channel_identifier(conference),
                            tqr::code_sid(theirs + tqr::kHelloHeadBytes, nonce, conference));
    std::string share = std::string(reinterpret_cast<const char*>(cpace.share()), tqr::kPakeShareBytes) +
                        static_cast<char>(ad.size()) + ad;
    return tqr::send_all(link, share.data(), share.size());
}

std::string read_to_end(int fd) {
    std::string heard;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) heard.append(buffer, static_cast<size_t>(n));
    return heard;
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

}  // namespace harness
