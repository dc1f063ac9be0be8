// A third-party host of the TQR library, in one file: it joins a conference as a sender or as an
// endstation, and uses the key-checked link that the library hands over through the bridge callback.
// The sender writes one greeting line to each endstation; the endstation prints what it got.
//
//   host send    CONFERENCE KEY [COORDINATOR_HOST]   serves endstations until the coordinator goes away
//   host receive CONFERENCE KEY [COORDINATOR_HOST]   meets the sender once, prints its line, exits
//
// The library writes its diagnostic lines on stderr; this host's output goes to stdout.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "protocol/caller.h"

namespace {

const int kSender = 2;      // the role codes of the handshake
const int kEndstation = 3;
const int kCoordinator = 0;

// Runs on a library thread, once per endstation; the library closes the socket when this returns.
void greet(int fd) {
    const char line[] = "hello from the sender\n";
    send(fd, line, sizeof line - 1, MSG_NOSIGNAL);
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
    set_bridge_callback(sender ? greet : listen_to_sender);

    Caller* caller = new Caller();
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
    bool rejected = caller->rejected();
    delete caller;
    if (rejected) printf("sender: the conference already has a sender\n");
    return rejected ? 3 : 0;
}
