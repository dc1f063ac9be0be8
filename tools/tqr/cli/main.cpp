// tqr: the host program of the TQR rendezvous. Parses the command line and runs one command.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/zel_common.h"
#include "protocol/host.h"
#include "cli/commands.h"
#include "cli/escape.h"
#include "cli/settings_check.h"
#include "code/words.h"
#include "transfer/party.h"

namespace {

// The library writes its first lines while it loads, before main. Its lines are hidden unless
// --verbose, so the process must be quiet by then already. A shared library's initializers run before
// the program's own constructors, but after its pre-initializers, which glibc hands the arguments; the
// library's quiet switch is a constant-initialized flag, so it can be set before the library starts.
// Standard input, output and error that were closed when tqr started (`>&-`): each is /dev/null from
// then on, so that no socket or pipe of the tool's can take its number and receive what was meant
// for it (a payload for `-o -`, a code); the commands that need one refuse to run without it.
bool s_closed[3] = {false, false, false};

void quiet_from_the_start(int argc, char** argv, char**) {
    for (int fd = 0; fd < 3; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        s_closed[fd] = true;
        // The lowest free number: this one, since the lower ones are open by now.
        int null = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (null != fd && null >= 0) close(null);
    }
    bool loud = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--verbose") == 0) loud = true;
    }
    if (!loud) zel::set_quiet(1);
}
__attribute__((section(".preinit_array"), used)) void (*const s_quiet_first)(int, char**, char**) = quiet_from_the_start;

// A host name or an IPv4 address; the port is a setting of its own, and the library speaks IPv4 only.
std::string check_host(const std::string& host) {
    if (host.find(':') == std::string::npos && host.find('[') == std::string::npos) return "";
    return "give a host name or an IPv4 address, without a port (the port comes from TQR_COORDINATOR_PORT); "
           "IPv6 is not supported";
}

// Whether `path` leads to this process's descriptor `fd` (/dev/stdout, /dev/fd/1, /proc/self/fd/1):
// with the stream closed at the start, what it reaches is the /dev/null put in its place, and a
// payload written there would be lost while both sides report success.
bool names_descriptor(std::string path, int fd) {
    const std::string pid = std::to_string(getpid()), tail = "/fd/" + std::to_string(fd);
    for (int links = 0; links < 40; ++links) {
        size_t slash = path.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        char real[PATH_MAX];
        if (realpath(dir.c_str(), real) == nullptr) return false;
        const std::string folder = std::string(real) + (real[1] == '\0' ? "" : "/");
        const std::string at = folder + base;
        if (at == "/proc/" + pid + tail || (at.rfind("/proc/" + pid + "/task/", 0) == 0 && at.size() > tail.size() &&
                                             at.compare(at.size() - tail.size(), tail.size(), tail) == 0))
            return true;
        char target[PATH_MAX];
        ssize_t n = readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        path = target[0] == '/' ? std::string(target) : folder + target;
    }
    return false;
}

}  // namespace

bool tqr::standard_stream_closed(int fd) { return fd >= 0 && fd < 3 && s_closed[fd]; }

namespace {

// "input", "output" or "error" when `path` names a standard stream that was closed at the start
// (/dev/stderr, /proc/self/fd/0), whose number now holds /dev/null; null otherwise.
const char* closed_stream_named(const std::string& path) {
    static const char* const kNames[] = {"input", "output", "error"};
    for (int fd = 0; fd < 3; ++fd)
        if (s_closed[fd] && !path.empty() && path != "-" && names_descriptor(path, fd)) return kNames[fd];
    return nullptr;
}

// A command that needs a standard stream which was closed at the start: usage error.
int closed_stream(const char* command, const char* stream, const char* why) {
    fprintf(stderr, "tqr %s: standard %s is closed: %s; give it a file or /dev/null\n", command, stream, why);
    return tqr::EXIT_USAGE_OR_IO;
}

// `-V` on every command as on `tqr` itself, where a person tries it first.
void add_version(CLI::App* command) { command->set_version_flag("--version,-V", "tqr " TQR_VERSION); }

void add_party_options(CLI::App* command, tqr::PartyOptions& party, bool sending) {
    // An empty identifier would quietly mean "no conference", and a code instead.
    command
        ->add_option("--conference", party.conference,
                     "Conference identifier (both ends use the same), for a key instead of a code")
        ->check(CLI::Validator([](std::string& id) { return id.empty() ? std::string("is empty") : std::string(); },
                               "", "non-empty"));
    CLI::Option* key = command->add_option(
        "--key", party.key,
        sending ? "Conference key (default: $TQR_KEY, else none: send makes one and shows it); other users of the "
                  "machine can read it"
                : "Conference key, as the sender gave or made it (default: $TQR_KEY); other users of the machine "
                  "can read it");
    CLI::Option* key_file =
        command->add_option("--key-file", party.key_file, "Read the key from the first line of this file");
    key->excludes(key_file);
    command->add_option("--host", party.host, "Host name or IPv4 address of the coordinator (and of the sender)")
        ->capture_default_str()
        ->check(check_host);
    command->add_option("--nickname", party.nickname, "Name shown to the coordinator (default: host-pid)");
    CLI::Option* plain = command->add_flag("--plain", party.plain,
                      "Unencrypted earlier format: the key check shows the key itself on the link (both sides)");
    command->add_flag("--json", party.json, "Progress as one JSON object per line on standard error");
    command->add_flag("--verbose", party.verbose, "Show the library's diagnostic lines");
    command->add_flag("--verify", party.verify,
                      "Show the check words of the confirmed link and, on a terminal, send or take nothing until "
                      "a person says they match the other side's")
        ->excludes(plain);
}

// What the command line said beyond the values themselves.
void note_given(CLI::App* command, tqr::PartyOptions& party) {
    party.key_given = command->get_option("--key")->count() > 0;
    party.host_given = command->get_option("--host")->count() > 0;
}

CLI::App* add_send(CLI::App& app, tqr::SendOptions& send) {
    CLI::App* command = app.add_subcommand(
        "send", "Serve FILE to whoever types the code it shows (or to every endstation of --conference with its key)");
    command->footer(
        "Example: tqr send report.pdf  shows a code such as 7-guitar-ocean-tulip and the command that takes the\n"
        "file on another machine: tqr receive --host HOST 7-guitar-ocean-tulip. When no coordinator answers at\n"
        "localhost (and --host is not given), send serves one itself on the coordinator port for as long as it\n"
        "runs. Each failed key confirmation of the code is reported with its address, which then waits longer\n"
        "before its next try; after 100 in all (TQR_MAX_FAILED_CONFIRMATIONS) the code is no longer served.\n"
        "With --conference, the key comes from --key, --key-file or TQR_KEY; without one, send makes a key and\n"
        "shows it with the receive command.\n"
        "Several files and folders (tqr send a.pdf b.txt photos/) go as one transfer; the receiver places each\n"
        "beside the others, each whole or not at all, and replaces none without --force.\n"
        "Standard input (FILE -) is streamed when --count is 1; otherwise, or with --plain, it is first read\n"
        "into memory whole.\n"
        "Each word of a code is one of 2,048 (11 bits), and a code is withdrawn after 100 failed confirmations,\n"
        "so a stranger guesses it with a chance of at most 2.4e-5 with 2 words, 1.2e-8 with 3 (the default),\n"
        "5.7e-12 with 4, 2.8e-15 with 5, 1.4e-18 with 6, 6.6e-22 with 7 and 3.2e-25 with 8 (--words N).\n"
        "--verify shows four check words once the code or key is confirmed: both sides show the same ones, and\n"
        "a side that asked for them sends or takes nothing until a person answers y (not on a terminal, it\n"
        "only shows them).\n"
        "Exit status: 0 served --count endstations, 1 usage or I/O error, 2 coordinator unreachable or gone,\n"
        "3 refused (the conference, or the nameplate of --code, already has a sender), 4 the code failed its\n"
        "confirmation 100 times, 130/143 interrupted (SIGINT/SIGTERM; 129 SIGHUP).");
    add_party_options(command, send.party, true);
    add_version(command);
    command->add_option("--count", send.count, "Exit after serving this many endstations (default: no limit)")
        ->check(CLI::Range(0L, 1000000000L));
    command->add_option("--name", send.name, "File name offered to endstations (default: FILE's base name)");
    CLI::Option* code = command->add_option(
        "--code", send.code, "Serve this code (a number and 2 to 8 words of the list, as tqr prints them) instead of a fresh one");
    command->add_option("--words", send.words, "Words in a fresh code, 2 to 8 (default: 3)")
        ->check(CLI::Range(2L, 8L))
        ->excludes(code);
    command->add_option("--text", send.text,
                        "Send this message (- reads one from standard input), at most 64 KiB, which the receiver "
                        "prints instead of writing a file");
    command->add_option("file", send.files,
                        "File or folder to serve, - for standard input (default); several go as one transfer, "
                        "placed beside each other");
    return command;
}

CLI::App* add_receive(CLI::App& app, tqr::ReceiveOptions& receive, std::vector<std::string>& code_parts) {
    CLI::App* command = app.add_subcommand(
        "receive", "Take the file of a code (or of --conference with its key) from its sender and verify it");
    command->footer(
        "Example: tqr receive --host HOST 7-guitar-ocean-tulip (any case; blanks or hyphens between the parts).\n"
        "Given neither a code nor --conference, receive asks for the code (Tab completes a word), or reads it\n"
        "from the first line of standard input when that is no terminal.\n"
        "With --output - the payload goes to standard output chunk by chunk, each verified on arrival (with\n"
        "--plain only once all of it was verified).\n"
        "A file that exists is never replaced without --force (on a terminal, receive asks). An interrupted\n"
        "transfer of a file leaves NAME.tqr-part beside it: the same command again continues from there.\n"
        "A folder arrives whole under its own name, or not at all. Several files and folders of one send are\n"
        "placed beside each other (here, or in the folder --output names), each whole or not at all; an\n"
        "interrupted set, like a folder, is sent again whole.\n"
        "Exit status: 0 payload verified and stored, 1 usage or I/O error, 2 coordinator unreachable or not\n"
        "a coordinator, 4 the code or key is wrong or the sender could not be reached, 5 the payload arrived\n"
        "short or corrupt, 6 no sender came within --timeout, 130/143 interrupted (SIGINT/SIGTERM; 129 SIGHUP).");
    add_party_options(command, receive.party, false);
    add_version(command);
    command->add_option("code", code_parts, "The code that the sender showed, as in 7-guitar-ocean-tulip");
    command->add_option("--output,-o", receive.output,
                        "File or folder to write, - for standard output (default: the sender's file name)");
    command->add_flag("--force,-f", receive.force, "Replace a file of the same name");
    command->add_option("--timeout", receive.timeout,
                        "Give up when no sender came within SECONDS, 0 waits for ever (default: 30 with a code, no "
                        "limit with --conference)")
        ->check(CLI::Range(0L, 31536000L));
    return command;
}

}  // namespace

namespace {

// The command line, then the command: its exit status.
int run(int argc, char** argv) {
    CLI::App app{"tqr: meet through a coordinator, then move a file over a direct, key-checked link.\n"
                 "Ports: TQR_COORDINATOR_PORT (default 7200) and TQR_TOP_PORT (top of the lent ports, default 7220)."};
    app.set_version_flag("--version,-V", "tqr " TQR_VERSION);
    app.require_subcommand(1);

    tqr::CoordinatorOptions coordinator;
    CLI::App* coordinator_command = app.add_subcommand("coordinator", "Run the coordinator until SIGINT, SIGTERM or SIGHUP");
    coordinator_command->add_option("--log", coordinator.log, "Append the protocol log to this file");
    CLI::Option* coordinator_quiet =
        coordinator_command->add_flag("--quiet", coordinator.quiet, "Show only status lines and errors");
    coordinator_command->add_flag("--verbose", coordinator.verbose, "Show the library's diagnostic lines too")
        ->excludes(coordinator_quiet);
    coordinator_command->add_option("--metrics", coordinator.metrics,
                                    "Serve Prometheus metrics on http://ADDRESS:PORT/metrics (e.g. 127.0.0.1:9720)");
    coordinator_command->footer(tqr::coordinator_footer());
    add_version(coordinator_command);

    tqr::SendOptions send;
    CLI::App* send_command = add_send(app, send);
    tqr::ReceiveOptions receive;
    std::vector<std::string> code_parts;  // a code typed with blanks comes in several arguments
    CLI::App* receive_command = add_receive(app, receive, code_parts);

    CLI::App* demo_command =
        app.add_subcommand("demo", "Show a coordinator, a sender and two endstations at work, in this process");
    add_version(demo_command);

    // For the shell's completion of a code (tqr.bash): the code words, one a line, from the very list
    // that parses them. Not a command for people, so --help does not list it.
    CLI::App* words_command = app.add_subcommand("__words", "")->group("");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Its message quotes the arguments, file names of a glob among them.
        std::ostringstream message;
        int status = app.exit(error, std::cout, message);
        std::string text = message.str();
        for (size_t at = 0, end; at < text.size(); at = end + 1) {
            end = text.find('\n', at);
            if (end == std::string::npos) end = text.size();
            fprintf(stderr, "%s\n", tqr::escaped(text.substr(at, end - at)).c_str());
        }
        return status == 0 ? 0 : tqr::EXIT_USAGE_OR_IO;
    }

    std::string error;
    if (!tqr::check_settings(&error)) {
        fprintf(stderr, "tqr: %s\n", error.c_str());
        return tqr::EXIT_USAGE_OR_IO;
    }
    if (*words_command) {
        for (const char* word : tqr::g_code_words) printf("%s\n", word);
        return fflush(stdout) == 0 ? tqr::EXIT_DONE : tqr::EXIT_USAGE_OR_IO;
    }
    if (*coordinator_command) return tqr::run_coordinator(coordinator);
    if (*send_command) {
        note_given(send_command, send.party);
        send.text_given = send_command->get_option("--text")->count() > 0;
        send.file_given = !send.files.empty();
        if (send.file_given) send.file = send.files[0];
        bool reads_input = send.text_given ? send.text == "-"
                                           : std::count(send.files.begin(), send.files.end(), "-") > 0 || !send.file_given;
        if (s_closed[STDIN_FILENO] && reads_input) return closed_stream("send", "input", "nothing to send");
        // A name of a closed stream (/dev/stdin <&-) leads to the /dev/null put in its place.
        for (const std::string& file : send.files)
            if (const char* stream = closed_stream_named(file))
                return closed_stream("send", stream, "the file named would be empty");
        if (s_closed[STDOUT_FILENO] && !send.party.json && send.party.conference.empty() && send.code.empty())
            return closed_stream("send", "output", "a fresh code would be shown nowhere (or use --json or --code)");
        // A key made for --conference is shown on standard output only, --json or not.
        // (An empty TQR_KEY is refused as such, later.)
        bool makes_key = !send.party.conference.empty() && !send.party.plain && !send.party.key_given &&
                         send.party.key_file.empty() && getenv("TQR_KEY") == nullptr;
        if (s_closed[STDOUT_FILENO] && makes_key)
            return closed_stream("send", "output", "the key it would make would be shown nowhere (give --key)");
        return tqr::run_send(send);
    }
    if (*receive_command) {
        const char* closed = s_closed[STDOUT_FILENO] && receive.output == "-" ? "output" : closed_stream_named(receive.output);
        if (closed != nullptr) return closed_stream("receive", closed, "the payload would go nowhere");
        note_given(receive_command, receive.party);
        for (const std::string& part : code_parts) receive.code += (receive.code.empty() ? "" : " ") + part;
        return tqr::run_receive(receive);
    }
    if (*demo_command) return tqr::run_demo("/proc/self/exe");
    return tqr::EXIT_USAGE_OR_IO;
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that leaves mid-transfer must give an error result, not end the process.
    signal(SIGPIPE, SIG_IGN);
    tqr::keep_process_policy();
    int status = run(argc, argv);
    // Every command has deleted its Callers and stopped its coordinator: the library's threads end
    // here, and nothing of ours runs while the process ends.
    zel::shutdown();
    return status;
}
