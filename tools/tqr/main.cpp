// tqr: the host program of the TQR rendezvous. Parses the command line and runs one command.
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstring>

#include "common/zel_common.h"
#include "tools/tqr/commands.h"

namespace {

// The library writes its first lines while it loads, before main. Its lines are hidden unless
// --verbose, so the process must be quiet by then already; glibc hands these early functions the
// arguments.
__attribute__((constructor(101))) void quiet_from_the_start(int argc, char** argv, char**) {
    bool loud = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--verbose") == 0) loud = true;
    }
    if (!loud) zel_set_quiet(1);
}

void add_party_options(CLI::App* command, tqr::PartyOptions& party) {
    command->add_option("--conference", party.conference, "Conference identifier (both ends use the same)")
        ->required();
    CLI::Option* key = command->add_option(
        "--key", party.key,
        "Conference key (default: $TQR_KEY, else none: send makes one); other users of the machine can read it");
    CLI::Option* key_file =
        command->add_option("--key-file", party.key_file, "Read the key from the first line of this file");
    key->excludes(key_file);
    command->add_option("--host", party.host, "Host of the coordinator (and of the sender)")
        ->capture_default_str();
    command->add_option("--nickname", party.nickname, "Name shown to the coordinator (default: host-pid)");
    command->add_flag("--plain", party.plain,
                      "Unencrypted earlier format: the key check shows the key itself on the link (both sides)");
    command->add_flag("--verbose", party.verbose, "Show the library's diagnostic lines");
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that leaves mid-transfer must give an error result, not end the process.
    signal(SIGPIPE, SIG_IGN);

    CLI::App app{"tqr: meet through a coordinator, then move a file over a direct, key-checked link.\n"
                 "Ports: TQR_COORDINATOR_PORT (default 7200) and TQR_TOP_PORT (top of the lent ports, default 7220)."};
    app.require_subcommand(1);

    tqr::CoordinatorOptions coordinator;
    CLI::App* coordinator_command = app.add_subcommand("coordinator", "Run the coordinator until SIGINT or SIGTERM");
    coordinator_command->add_option("--log", coordinator.log, "Append the protocol log to this file");
    CLI::Option* coordinator_quiet =
        coordinator_command->add_flag("--quiet", coordinator.quiet, "Show only status lines and errors");
    coordinator_command->add_flag("--verbose", coordinator.verbose, "Show the library's diagnostic lines too")
        ->excludes(coordinator_quiet);
    coordinator_command->footer(tqr::coordinator_footer());

    tqr::SendOptions send;
    CLI::App* send_command =
        app.add_subcommand("send", "Serve FILE to every endstation of the conference that holds the key");
    send_command->footer(
        "Without --key, --key-file or TQR_KEY, send makes a random key and shows it with the receive command.\n"
        "Standard input (FILE -) is streamed when --count is 1; otherwise, or with --plain, it is first read\n"
        "into memory whole.\n"
        "Exit status: 0 served --count endstations, 1 usage or I/O error, 2 coordinator unreachable or gone,\n"
        "3 refused (the conference already has a sender).");
    add_party_options(send_command, send.party);
    send_command->add_option("--count", send.count, "Exit after serving this many endstations (default: no limit)")
        ->check(CLI::NonNegativeNumber);
    send_command->add_option("--name", send.name, "File name offered to endstations (default: FILE's base name)");
    send_command->add_option("file", send.file, "File to serve, - for standard input")
        ->capture_default_str();

    tqr::ReceiveOptions receive;
    CLI::App* receive_command =
        app.add_subcommand("receive", "Take one file from the conference's sender and verify it");
    receive_command->footer(
        "With --output - the payload goes to standard output chunk by chunk, each verified on arrival (with\n"
        "--plain only once all of it was verified).\n"
        "Exit status: 0 payload verified and stored, 1 usage or I/O error, 2 coordinator unreachable,\n"
        "4 the key is wrong or the sender could not be reached, 5 the payload arrived short or corrupt.");
    add_party_options(receive_command, receive.party);
    receive_command->add_option("--output,-o", receive.output,
                                "File or folder to write, - for standard output (default: the sender's file name)");

    CLI::App* demo_command =
        app.add_subcommand("demo", "Show a coordinator, a sender and two endstations at work, in this process");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : tqr::EXIT_USAGE_OR_IO;
    }

    if (*coordinator_command) return tqr::run_coordinator(coordinator);
    if (*send_command) {
        send.party.key_given = send_command->get_option("--key")->count() > 0;
        return tqr::run_send(send);
    }
    if (*receive_command) {
        receive.party.key_given = receive_command->get_option("--key")->count() > 0;
        return tqr::run_receive(receive);
    }
    if (*demo_command) return tqr::run_demo("/proc/self/exe");
    return tqr::EXIT_USAGE_OR_IO;
}
