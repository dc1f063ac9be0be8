// A third-party host of the TQR library, in one file: it joins a conference as a sender or as an
// endstation, and uses the key-checked link that the library hands over. The sender approves each
// nomination it is offered and writes one greeting line to each endstation through its own bridge
// handler; the endstation takes its link through the process-wide bridge callback and prints what it
// got. Both tell how their message loop ended by their exit status.
//
//   host send    CONFERENCE KEY [COORDINATOR_HOST]   serves endstations until the coordinator goes away
//   host receive CONFERENCE KEY [COORDINATOR_HOST]   meets the sender once, prints its line, exits
//
// The library writes its diagnostic lines on stderr; this host's output goes to stdout.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/caller.h"
#include "protocol/host.h"

namespace {

const int kSender = 2;      // the role codes of the handshake
const int kEndstation = 3;
const int kCoordinator = 0;

// What the sender's callbacks share with main.
struct Greeter {
    std::string line;
    std::atomic<int> approved{0};
};

// Runs on the thread that runs process(), once per nomination.
bool approve(const std::string&, void* greeter) {
    ++static_cast<Greeter*>(greeter)->approved;
    return true;
}

// Runs on a library thread, once per endstation; the library closes the socket when this returns.
void greet(int fd, void* greeter) {
    const std::string& line = static_cast<Greeter*>(greeter)->line;
    send(fd, line.data(), line.size(), MSG_NOSIGNAL);
    printf("sender: greeted an endstation\n");
    fflush(stdout);
}

// Runs on the endstation's bridge thread; the socket is the host's to close.
void listen_to_sender(int fd) {
    char line[256];
    ssize_t n = recv(fd, line, sizeof line - 1, MSG_WAITALL);
    line[n > 0 ? n : 0] = '\0';
    printf("endstation: the sender says: %s", line);
    fflush(stdout);
    close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || (strcmp(argv[1], "send") != 0 && strcmp(argv[1], "receive") != 0)) {
        fprintf(stderr, "usage: %s send|receive CONFERENCE KEY [COORDINATOR_HOST]\n", argv[0]);
        return 1;
    }
    bool sender = strcmp(argv[1], "send") == 0;
    const char* host = argc > 4 ? argv[4] : "localhost";
    int role = sender ? kSender : kEndstation;

    // Before anything can arrive on a direct link.
    Greeter greeter;
    greeter.line = "hello from the sender\n";
    if (!sender) set_bridge_callback(listen_to_sender);

    Caller* caller = new Caller();
    if (sender) {
        zel::set_approval_policy(*caller, approve, &greeter);
        zel::set_bridge_handler(*caller, greet, &greeter);
    }
    if (caller->connect(caller->coord_port(), host, role, sender ? "example-sender" : "example-endstation",
                        argv[2], argv[3]) != 1) {
        fprintf(stderr, "cannot reach the coordinator on %s\n", host);
        return 2;
    }
    caller->startreadthread();
    if (caller->negotiate(1, role, kCoordinator) != 1) {
        fprintf(stderr, "the coordinator did not complete the handshake\n");
        return 2;
    }
    // An endstation returns here after its one rendezvous; a sender when its coordinator link ends.
    caller->process();
    zel::ProcessEnd end = zel::process_result(*caller);
    // An endstation's rendezvous ends with "Adios " whether or not its key matched the sender's.
    bool linked = sender || zel::bridged(*caller);
    delete caller;
    // No thread of the library is left once this returns.
    zel::shutdown();
    if (end == zel::ProcessEnd::REJECTED) {
        printf("sender: the conference already has a sender\n");
        return 3;
    }
    if (sender) printf("sender: approved %d nomination(s)\n", greeter.approved.load());
    // An endstation's one rendezvous ends with "Adios "; a sender's loop with its coordinator link.
    if (!linked) printf("endstation: no link came through the key check (is the key right?)\n");
    return end == (sender ? zel::ProcessEnd::LINK_ENDED : zel::ProcessEnd::ADIOS) && linked ? 0 : 4;
}
