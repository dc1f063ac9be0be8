#include "tools/tqr/party.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <sodium.h>

#include "common/logmsg.h"
#include "protocol/caller.h"
#include "protocol/phrase.h"
#include "tools/tqr/secure.h"

namespace tqr {

bool resolve_key(const PartyOptions& options, std::string* key, KeyOrigin* origin, std::string* error) {
    if (options.key_given) {
        *key = options.key;
        *origin = KEY_FROM_OPTION;
        return true;
    }
    if (!options.key_file.empty()) {
        std::ifstream file(options.key_file);
        if (!file) {
            *error = "cannot read key file " + options.key_file;
            return false;
        }
        std::string line;
        std::getline(file, line);
        if (file.bad()) {
            *error = "cannot read key file " + options.key_file;
            return false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        *key = line;
        *origin = KEY_FROM_FILE;
        return true;
    }
    const char* from_env = getenv("TQR_KEY");
    *key = from_env ? from_env : "";
    *origin = from_env ? KEY_FROM_ENVIRONMENT : KEY_NONE;
    return true;
}

int party_key(const PartyOptions& options, const char* command, std::string* key, KeyOrigin* origin) {
    std::string error;
    if (!resolve_key(options, key, origin, &error)) {
        fprintf(stderr, "tqr %s: %s\n", command, error.c_str());
        return EXIT_USAGE_OR_IO;
    }
    if (*origin == KEY_FROM_OPTION)
        fprintf(stderr,
                "tqr %s: warning: other users of this machine can read a key given with --key; "
                "--key-file or TQR_KEY keep it private\n",
                command);
    if (!options.plain) *key = normalise_key(*key);
    return EXIT_DONE;
}

std::string library_key(std::string& key, const PartyOptions& options, std::unique_ptr<LinkKeys>* keys) {
    std::string checked = key;
    if (!options.plain) {
        keys->reset(new LinkKeys(key, options.conference));
        checked = (*keys)->check_key();
    }
    sodium_memzero(&key[0], key.size());
    return checked;
}

std::string default_nickname() {
    char host[256] = "tqr";
    gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = '\0';
    return std::string(host) + "-" + std::to_string(getpid());
}

namespace {

bool resolves(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    freeaddrinfo(found);
    return true;
}

}  // namespace

int join_coordinator(Caller* caller, int role, const PartyOptions& options, const std::string& key,
                     const char* command) {
    // Checked here first so that the message names the problem; the library would only fail to connect.
    if (!resolves(options.host)) {
        fprintf(stderr, "tqr %s: host %s does not resolve\n", command, options.host.c_str());
        return EXIT_NO_COORDINATOR;
    }
    std::string nickname = options.nickname.empty() ? default_nickname() : options.nickname;
    int port = caller->coord_port();
    if (caller->connect(port, options.host.c_str(), role, nickname.c_str(), options.conference.c_str(),
                        key.c_str()) != 1) {
        fprintf(stderr, "tqr %s: cannot reach the coordinator at %s port %d\n", command, options.host.c_str(), port);
        return EXIT_NO_COORDINATOR;
    }
    caller->startreadthread();
    if (caller->negotiate(1, role, ROLE_COORDINATOR) != 1) {
        fprintf(stderr, "tqr %s: the coordinator at %s port %d did not complete the handshake\n", command,
                options.host.c_str(), port);
        return EXIT_NO_COORDINATOR;
    }
    return EXIT_DONE;
}

void bound_link(int fd, int seconds) {
    timeval limit{};
    limit.tv_sec = seconds;
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void finish(int status) {
    fflush(stdout);
    fflush(stderr);
    {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        if (g_logmsg.is_open()) g_logmsg.flush();
    }
    _exit(status);
}

}  // namespace tqr
