// What `tqr send` serves: a file or standard input, a folder, several of them, or a --text.
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/progress.h"
#include "transfer/send_state.h"

namespace tqr {

namespace {

// A folder, scanned once: each link then streams its own archive of it.
int open_tree(SendState& state, const SendOptions& options, Progress& progress) {
    if (options.party.plain) {
        progress.fail("usage", "a folder goes in the encrypted format only: leave out --plain", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    state.tree.reset(new TreeSource());
    std::string error;
    if (!state.tree->open(options.file, &error)) {
        progress.fail("cannot read", error, EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    state.name = options.name.empty() ? state.tree->name() : options.name;
    state.offer.kind = KIND_TREE;
    state.walked.store(state.tree.get());
    return EXIT_DONE;
}

// A --text message, kept in memory for every link.
int open_text(SendState& state, const SendOptions& options, Progress& progress) {
    if (options.party.plain || options.file_given) {
        progress.fail("usage", options.file_given ? "give a file or --text, not both"
                                                  : "a text goes in the encrypted format only: leave out --plain",
                      EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    std::vector<unsigned char> bytes(options.text.begin(), options.text.end());
    if (options.text == "-") {
        if (isatty(STDIN_FILENO) == 1) progress.note("type the message, then Ctrl-D on a line of its own");
        bytes.clear();
        unsigned char buffer[4096];
        ssize_t n = 1;
        while (bytes.size() <= kMaxTextBytes && n != 0) {
            // A person may type for as long as they like: an interruption ends the wait.
            pollfd ready[2] = {{STDIN_FILENO, POLLIN, 0}, {state.wake[0], POLLIN, 0}};
            if (poll(ready, 2, -1) < 0 && errno != EINTR) ready[0].revents = POLLIN;  // read() tells
            if (ready[1].revents != 0) return state.ending.status();
            if (ready[0].revents == 0) continue;
            n = read(STDIN_FILENO, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                progress.fail("cannot read", std::string("cannot read standard input: ") + strerror(errno),
                              EXIT_USAGE_OR_IO);
                return EXIT_USAGE_OR_IO;
            }
            bytes.insert(bytes.end(), buffer, buffer + static_cast<size_t>(n));
        }
    }
    if (bytes.size() > kMaxTextBytes) {
        progress.fail("usage", "a text is at most 64 KiB: send a longer one as a file", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    state.limit = options.count;
    state.source.assign(std::move(bytes));
    state.name = "text";
    state.offer.name = state.name;
    state.offer.size = state.source.size();
    state.offer.kind = KIND_TEXT;
    return EXIT_DONE;
}

// Several files and folders: one archive of a folder that exists nowhere, whose entries they are.
int open_set(SendState& state, const SendOptions& options, Progress& progress) {
    if (options.party.plain || std::count(options.files.begin(), options.files.end(), "-") > 0) {
        progress.fail("usage", options.party.plain ? "several files go in the encrypted format only: leave out --plain"
                                                   : "standard input goes alone, not among several files",
                      EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    state.limit = options.count;
    state.tree.reset(new TreeSource());
    std::string error;
    if (!state.tree->open_set(options.files, kSetName, &error)) {
        progress.fail("cannot read", error, EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    state.name = std::to_string(options.files.size()) + " files and folders";
    state.offer.name = kSetName;
    state.offer.kind = KIND_SET;
    state.walked.store(state.tree.get());
    return EXIT_DONE;
}

}  // namespace

namespace {

// The walker's thread, with the SendState as its context.
void* s_walk(void* context) {
    SendState& state = *static_cast<SendState*>(context);
    Progress& progress = *state.progress;
    std::string error;
    bool made = state.tree->list(&error, [&progress](const std::string& line) { progress.note(line); });
    int status = EXIT_DONE;
    if (made) {
        state.offer.size = state.tree->archive_size();  // read by the links only once they saw walk_status
    } else {
        status = EXIT_USAGE_OR_IO;
        // An interruption's stop has claimed the end already, and a dropped walk is nobody's failure.
        if (!state.walk_dropped.load()) state.ending.claim(progress, status, "cannot read", error);
    }
    zel::MutexLock lock(state.walk_mutex);
    state.walk_status = status;
    tell_serving(state);
    state.walk_ended.broadcast();
    return nullptr;
}

}  // namespace

void start_walk(SendState& state) {
    if (!state.tree) {
        zel::MutexLock lock(state.walk_mutex);
        state.walk_status = EXIT_DONE;
        return;
    }
    state.walker_started = pthread_create(&state.walker, nullptr, s_walk, &state) == 0;
    if (!state.walker_started) s_walk(&state);  // no thread to be had: the walk comes before the code
}

int await_walk(SendState& state, int seconds) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    zel::MutexLock lock(state.walk_mutex);
    while (state.walk_status == SendState::kStillWalking)
        if (state.walk_ended.wait_until(state.walk_mutex, deadline) != 0) break;
    return state.walk_status;
}

void join_walk(SendState& state) {
    if (!state.walker_started) return;
    state.walk_dropped.store(true);
    state.tree->stop();
    pthread_join(state.walker, nullptr);
    state.walker_started = false;
}

void tell_serving(SendState& state) {
    // Once the end is claimed its line is the last, whatever the walk did meanwhile.
    if (state.serving_told || state.conference.empty() || state.walk_status != EXIT_DONE || state.ending.claimed())
        return;
    state.serving_told = true;
    std::string size = state.source.streamed() ? "streamed"
                       : state.tree ? std::to_string(state.tree->entries()) + " entries, " +
                                           Progress::human_bytes(static_cast<double>(state.tree->content_bytes()))
                                     : Progress::human_bytes(static_cast<double>(state.source.size()));
    const char* mode = state.code ? "code" : state.keys ? "encrypted" : "plain";
    state.progress->step("waiting", "joined conference " + state.conference + ", serving " + state.name + " (" +
                                        size + ", " + mode + ")",
                         {{"conference", state.conference}});
}

int open_source(SendState& state, const SendOptions& options, Progress& progress) {
    if (options.text_given) return open_text(state, options, progress);
    if (options.files.size() > 1) return open_set(state, options, progress);
    state.limit = options.count;
    if (options.file == "-" && isatty(STDIN_FILENO) == 1) {
        progress.fail("usage", "give a file, or pipe data into tqr send -", EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    struct stat info {};
    int status = EXIT_DONE;
    if (options.file != "-" && stat(options.file.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        status = open_tree(state, options, progress);
        state.offer.name = state.name;
        return status;
    }
    // Standard input streams only to an encrypted transfer that is the only one: the plain header
    // carries the length, and a stream cannot be read twice.
    bool stream = !options.party.plain && options.count == 1;
    state.source.stop_on(state.wake[0]);
    if (!state.source.open(options.file, stream)) {
        if (state.ending.claimed()) return state.ending.status();
        std::string what = options.file == "-" ? "standard input" : options.file;
        progress.fail("cannot read", "cannot read " + what + ": " + strerror(errno), EXIT_USAGE_OR_IO);
        return EXIT_USAGE_OR_IO;
    }
    if (!options.name.empty()) {
        state.name = options.name;
    } else {
        state.name = options.file == "-" ? "stdin.bin" : safe_file_name(options.file);
    }
    state.offer.name = state.name;
    state.offer.size_known = !state.source.streamed();
    state.offer.size = state.source.size();
    state.offer.kind = state.source.streamed() ? KIND_STREAM : KIND_FILE;
    return EXIT_DONE;
}

}  // namespace tqr
