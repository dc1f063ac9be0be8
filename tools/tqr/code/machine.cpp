#include "code/machine.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "protocol/settings.h"

namespace tqr {

namespace {

// The coordinator port that a machine without settings uses (the library's default).
constexpr int kDefaultCoordinatorPort = 7200;

bool loopback(in_addr address) { return (ntohl(address.s_addr) >> 24) == 127; }

// The IPv4 addresses `host` resolves to.
std::vector<in_addr> resolve(const std::string& host) {
    std::vector<in_addr> found;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return found;
    for (addrinfo* at = list; at != nullptr; at = at->ai_next)
        found.push_back(reinterpret_cast<sockaddr_in*>(at->ai_addr)->sin_addr);
    freeaddrinfo(list);
    return found;
}

// This machine's IPv4 addresses on interfaces that are up, loopback left out, in the system's order.
std::vector<in_addr> own_addresses() {
    std::vector<in_addr> found;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return found;
    for (ifaddrs* at = list; at != nullptr; at = at->ifa_next) {
        if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
        in_addr address = reinterpret_cast<sockaddr_in*>(at->ifa_addr)->sin_addr;
        if (!loopback(address)) found.push_back(address);
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

std::string this_machine() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    name[sizeof name - 1] = '\0';
    std::vector<in_addr> own = own_addresses();
    for (in_addr address : resolve(name)) {
        bool ours = std::any_of(own.begin(), own.end(), [&](in_addr a) { return a.s_addr == address.s_addr; });
        if (ours) return name;
    }
    if (own.empty()) return *name ? name : "localhost";
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &own.front(), text, sizeof text);
    return text;
}

bool is_loopback(const std::string& host) {
    std::vector<in_addr> found = resolve(host);
    return !found.empty() && std::all_of(found.begin(), found.end(), loopback);
}

std::string shell_word(const std::string& text) {
    bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return isalnum(static_cast<unsigned char>(c)) || strchr("-_.,:/@%+=", c) != nullptr;
    });
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string receive_command(const std::string& host, const std::string& code) {
    int port = zel::settings().coordinator_port;
    std::string setting = port == kDefaultCoordinatorPort ? "" : "TQR_COORDINATOR_PORT=" + std::to_string(port) + " ";
    return setting + "tqr receive --host " + shell_word(host) + " " + code;
}

}  // namespace tqr
