// The four commands of `tqr`, each in its own file; main.cpp parses the command line into these
// options and runs one of them. Every run_* returns the process's exit status (some end the process
// themselves with _exit once their output is flushed, see party.h).
#ifndef ZEL_TOOLS_TQR_CLI_COMMANDS_H
#define ZEL_TOOLS_TQR_CLI_COMMANDS_H

#include <string>
#include <vector>

namespace tqr {

// Exit statuses shared by send and receive.
enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_USAGE_OR_IO = 1,
    EXIT_NO_COORDINATOR = 2,  // the coordinator cannot be reached, its host does not resolve, or it went away
    EXIT_REJECTED = 3,        // send: another sender already serves the conference (or every nameplate tried)
    EXIT_NO_LINK = 4,         // receive: the key or code is wrong, or the link to the sender failed;
                              // send: a code failed its confirmation too often
    EXIT_DAMAGED = 5,         // receive: the payload arrived short or corrupt, or a folder had entries refused
    EXIT_NO_SENDER = 6,       // receive: no sender came within --timeout
    EXIT_INTERRUPTED = 128,   // plus the signal's number: SIGINT 130, SIGTERM 143, SIGHUP 129
};

struct CoordinatorOptions {
    std::string log;  // g_logmsg goes to this file when set
    bool quiet = false;    // status lines and errors only
    bool verbose = false;  // the library's diagnostic lines too
    std::string metrics;   // HOST:PORT to serve /metrics and /healthz on; "": none
};

// What send and receive share: where the coordinator is and who this party is. Without a conference
// the party goes by a short code (words.h) instead, which brings its conference and keys.
struct PartyOptions {
    std::string conference;  // "": the code mode
    std::string key;
    std::string key_file;
    bool key_given = false;  // --key was on the command line (an empty key is a key too)
    bool plain = false;      // --plain: no encryption, the key goes to the library as it is (payload.h)
    std::string host = "localhost";
    bool host_given = false;  // --host was on the command line: send then serves no coordinator itself
    std::string nickname;
    bool verbose = false;
    bool json = false;  // --json: progress as JSON lines on standard error (progress.h)
    bool verify = false;  // --verify: a person compares the check words before any payload moves
};

struct SendOptions {
    PartyOptions party;
    long count = 0;          // endstations to serve before exiting; 0: no limit
    std::string file = "-";  // "-": standard input (streamed when encrypted and count is 1)
    std::vector<std::string> files;  // as given; more than one go as one set (a folder of them)
    std::string name;        // the file name offered to endstations; default: FILE's base name
    std::string code;        // --code: the code to serve, as a person typed it; "": a fresh one
    long words = 3;          // --words: how many words a fresh code has
    std::string text;        // --text: a message for the receiver's standard output ("-": read from standard input)
    bool text_given = false;
    bool file_given = false;
};

struct ReceiveOptions {
    PartyOptions party;
    std::string code;    // "": given neither it nor --conference, it is asked for
    std::string output;  // "": the sender's name in the current folder; "-": standard output
    bool force = false;  // replace a file of the same name
    long timeout = -1;   // seconds to wait for a sender; 0: no limit; -1: 30 with a code, none with --conference
};

// Whether standard input, output or error (0-2) was closed when tqr started; it is /dev/null since.
bool standard_stream_closed(int fd);

int run_coordinator(const CoordinatorOptions& options);
// The end of `tqr coordinator --help`: the status lines, shutdown and limits.
const char* coordinator_footer();
int run_send(const SendOptions& options);
int run_receive(const ReceiveOptions& options);
int run_demo(const char* self_path);

}  // namespace tqr

#endif
