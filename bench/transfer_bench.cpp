// zel_bench_transfer: what `tqr` moves per second next to what the machine can, in one run. The floor
// is loopback TCP between two threads in the tool's chunk size, and the sealed stream alone in memory
// (one thread sealing, one opening, each with the checksum of the data); the tool runs as a user runs
// it, `tqr send` and `tqr receive` as processes of their own, on tmpfs. Figures as `name=value` lines,
// notes as `# ` lines, then one verdict line per goal (bench/README.md).
//
// One thread drives the processes; the floors use two threads each. Every wait has a deadline: a
// process that overruns it is killed and the run ends with a `#` line that says which.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer/payload.h"

extern char** environ;

namespace {

typedef std::chrono::steady_clock Clock;
constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kFileBytes = 1024 * kMiB;
constexpr int kBasePort = 23800;  // the coordinator's; the pool above it, the floor at +30
constexpr int kProcessSeconds = 300;
constexpr size_t kSealBytes = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr size_t kFrameBytes = 4 + tqr::kChunkBytes + kSealBytes;  // one sealed chunk on the wire

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string g_tqr;   // the tool beside this binary
std::string g_work;  // the scratch folder on tmpfs
pid_t g_coordinator = -1;  // a running `tqr coordinator`, which a run that gives up takes along

[[noreturn]] void give_up(const std::string& why) {
    printf("# %s; the run ends here (the tools' messages: %s/stderr.log)\n", why.c_str(), g_work.c_str());
    if (g_coordinator > 0) kill(g_coordinator, SIGTERM);
    exit(1);
}

// Two ends of a loopback TCP connection, on the floor's port.
void loopback_pair(int* writer_end, int* reader_end) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kBasePort + 30);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 1) != 0)
        give_up("the floor cannot listen on port " + std::to_string(kBasePort + 30));
    int writer = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(writer, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) give_up("the floor cannot connect");
    int reader = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    if (reader < 0) give_up("the floor cannot accept");
    setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    setsockopt(reader, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    *writer_end = writer;
    *reader_end = reader;
}

// Loopback TCP: one thread writes frames of the tool's size, the other reads them.
double floor_tcp(uint64_t bytes) {
    int writer = -1, reader = -1;
    loopback_pair(&writer, &reader);
    Clock::time_point start = Clock::now();
    std::thread sending([&] {
        std::vector<unsigned char> frame(kFrameBytes, 7);
        for (uint64_t sent = 0; sent < bytes; sent += tqr::kChunkBytes)
            if (!tqr::send_all(writer, frame.data(), frame.size())) break;
        shutdown(writer, SHUT_WR);
    });
    std::vector<unsigned char> buffer(kFrameBytes);
    uint64_t got = 0;
    for (ssize_t n; (n = recv(reader, buffer.data(), buffer.size(), 0)) > 0;) got += static_cast<uint64_t>(n);
    double seconds = seconds_since(start);
    sending.join();
    close(writer);
    close(reader);
    return static_cast<double>(got) / kFrameBytes * tqr::kChunkBytes / kMiB / seconds;
}

// The sealed stream in memory as the tool runs it: one thread reads a batch of plaintext (a copy, as a
// read of the file is), sums it for the checksum and seals it in chunks into one buffer; the other opens
// the chunks of a buffer and sums them. A queue of a few batches between them, one hand-off per batch.
double floor_seal(uint64_t bytes) {
    unsigned char key[crypto_secretstream_xchacha20poly1305_KEYBYTES], sum_key[crypto_onetimeauth_KEYBYTES];
    randombytes_buf(key, sizeof key);
    randombytes_buf(sum_key, sizeof sum_key);
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_state push_state, pull_state;
    crypto_secretstream_xchacha20poly1305_init_push(&push_state, header, key);
    crypto_secretstream_xchacha20poly1305_init_pull(&pull_state, header, key);
    constexpr size_t kSlots = 4, kPerBatch = tqr::kBatchBytes / tqr::kChunkBytes;
    std::vector<std::vector<unsigned char>> slots(kSlots, std::vector<unsigned char>(kPerBatch * kFrameBytes));
    std::mutex mutex;  // guards `filled` and `emptied`
    std::condition_variable changed;
    uint64_t filled = 0, emptied = 0, batches = std::max<uint64_t>(1, bytes / tqr::kBatchBytes);
    Clock::time_point start = Clock::now();
    std::thread sealing([&] {
        std::vector<unsigned char> source(tqr::kBatchBytes, 3), plain(tqr::kBatchBytes);
        crypto_onetimeauth_state sum;
        crypto_onetimeauth_init(&sum, sum_key);
        for (uint64_t i = 0; i < batches; ++i) {
            {
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return filled - emptied < kSlots; });
            }
            memcpy(plain.data(), source.data(), plain.size());
            crypto_onetimeauth_update(&sum, plain.data(), plain.size());
            unsigned char* out = slots[i % kSlots].data();
            for (size_t c = 0; c < kPerBatch; ++c, out += kFrameBytes)
                crypto_secretstream_xchacha20poly1305_push(&push_state, out + 4, nullptr, plain.data() + c * tqr::kChunkBytes,
                                                           tqr::kChunkBytes, nullptr, 0, 0);
            std::lock_guard<std::mutex> guard(mutex);
            ++filled;
            changed.notify_all();
        }
    });
    std::vector<unsigned char> plain(tqr::kBatchBytes);
    crypto_onetimeauth_state sum;
    crypto_onetimeauth_init(&sum, sum_key);
    bool intact = true;
    for (uint64_t i = 0; i < batches; ++i) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return filled > emptied; });
        }
        const unsigned char* in = slots[i % kSlots].data();
        for (size_t c = 0; c < kPerBatch; ++c, in += kFrameBytes)
            intact &= crypto_secretstream_xchacha20poly1305_pull(&pull_state, plain.data() + c * tqr::kChunkBytes, nullptr,
                                                                 nullptr, in + 4, tqr::kChunkBytes + kSealBytes, nullptr,
                                                                 0) == 0;
        crypto_onetimeauth_update(&sum, plain.data(), plain.size());
        std::lock_guard<std::mutex> guard(mutex);
        ++emptied;
        changed.notify_all();
    }
    double seconds = seconds_since(start);
    sealing.join();
    if (!intact) give_up("the sealed floor failed to open its own chunks");
    return static_cast<double>(batches * tqr::kBatchBytes) / kMiB / seconds;
}

// A shell command as a process of its own; `out` its standard output (-1: inherited).
pid_t spawn(const std::string& command, int out = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    std::string log = g_work + "/stderr.log";
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    std::string line = "exec " + command;
    const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) != 0)
        give_up("cannot start " + command);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for `pid` to exit within `seconds`; its exit status. Killed, and the run ended, when it overruns.
int wait_exit(pid_t pid, int seconds, const std::string& what) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    pollfd ready{pidfd, POLLIN, 0};
    if (pidfd < 0 || poll(&ready, 1, seconds * 1000) != 1) {
        kill(pid, SIGKILL);
        give_up(what + " did not end within " + std::to_string(seconds) + " s");
    }
    close(pidfd);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Reads `fd` until a line that starts with `prefix` came (within `seconds`): the rest of that line.
// The reader goes on draining `fd` on a thread of its own until it ends, so that the writer never blocks.
std::string await_line(int fd, const std::string& prefix, int seconds, const std::string& what) {
    std::string text;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        size_t at = text.find(prefix);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            std::string found = text.substr(at + prefix.size(), text.find('\n', at) - at - prefix.size());
            std::thread([fd] {
                char drained[4096];
                while (read(fd, drained, sizeof drained) > 0) {
                }
                close(fd);
            }).detach();
            return found;
        }
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        pollfd ready{fd, POLLIN, 0};
        char buffer[4096];
        ssize_t n = left > 0 && poll(&ready, 1, left) == 1 ? read(fd, buffer, sizeof buffer) : 0;
        if (n <= 0) give_up(what + " never said \"" + prefix + "\"");
        text.append(buffer, static_cast<size_t>(n));
    }
}


int run(const std::string& command) { return wait_exit(spawn(command), kProcessSeconds, command); }

// The CPU time of the processes of the last `transfer` (seconds, user and system), for the `#` lines
// of the rounds: on this VM the rounds of one measure differ in system time (the new tmpfs pages),
// while the tool's own work stays the same from round to round.
struct ProcessCpu {
    double user = 0, system = 0;
};
ProcessCpu g_transfer_cpu;

ProcessCpu children_cpu() {
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6, usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
}

// One `send` (arguments of `tqr send`, or a pipeline that ends in one when `pipe_in` is set) served
// to `receivers` receivers at once (`receive(i, code)`: the command of the i-th); seconds from the
// sender's start until the last receiver ended.
double transfer(const std::string& send, int receivers, const std::function<std::string(int, const std::string&)>& receive) {
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) give_up("no pipe");
    ProcessCpu cpu_before = children_cpu();
    Clock::time_point start = Clock::now();
    pid_t sender = spawn(send, pipe_fds[1]);
    close(pipe_fds[1]);
    std::string code = await_line(pipe_fds[0], "Code: ", 30, "tqr send");
    std::vector<pid_t> pids;
    for (int i = 0; i < receivers; ++i) pids.push_back(spawn(receive(i, code)));
    for (pid_t pid : pids)
        if (int status = wait_exit(pid, kProcessSeconds, "tqr receive"); status != 0)
            give_up("tqr receive ended with " + std::to_string(status));
    double seconds = seconds_since(start);
    if (int status = wait_exit(sender, kProcessSeconds, "tqr send"); status != 0)
        give_up("tqr send ended with " + std::to_string(status));
    ProcessCpu cpu_after = children_cpu();
    g_transfer_cpu = {cpu_after.user - cpu_before.user, cpu_after.system - cpu_before.system};
    return seconds;
}

// Rounds of several measures in turns, the best of each: a drift of the machine's load between the
// rounds then falls on all of them alike, and the ratios between them keep to the tool's own. Every
// other round goes in the reverse order (A B, B A, A B): on a VM that hands freed memory back to its
// host, a gigabyte written to tmpfs costs twice as much every other time (the pages the last round
// freed are faulted in again), and a fixed order would give that cost to the same measure each time.
// Each measure's rounds go to a `#` line, so that a reader sees the spread behind the best.
struct Measure {
    const char* name;
    std::function<double()> round;  // seconds
};
std::vector<double> best_in_turns(int rounds, const std::vector<Measure>& measures) {
    std::vector<std::vector<double>> seconds(measures.size());
    std::vector<std::string> cpu(measures.size());
    for (int i = 0; i < rounds; ++i)
        for (size_t k = 0; k < measures.size(); ++k) {
            size_t m = i % 2 == 0 ? k : measures.size() - 1 - k;
            g_transfer_cpu = {};
            seconds[m].push_back(measures[m].round());
            char text[48];
            snprintf(text, sizeof text, " %.2f+%.2f", g_transfer_cpu.user, g_transfer_cpu.system);
            cpu[m] += text;
        }
    std::vector<double> best;
    for (size_t m = 0; m < measures.size(); ++m) {
        std::string line = "# " + std::string(measures[m].name) + " rounds (s):";
        for (double one : seconds[m]) {
            char text[32];
            snprintf(text, sizeof text, " %.3f", one);
            line += text;
        }
        printf("%s\n", line.c_str());
        if (cpu[m].find_first_not_of(" 0.+") != std::string::npos)
            printf("# %s processes' CPU per round (s, user+system):%s\n", measures[m].name, cpu[m].c_str());
        best.push_back(*std::min_element(seconds[m].begin(), seconds[m].end()));
    }
    return best;
}

double best_of(const char* name, int rounds, const std::function<double()>& round) {
    return best_in_turns(rounds, {{name, round}}).front();
}

// What this VM has handed back to its host of the memory freed so far (KiB), where its kernel tells:
// pages handed back are faulted in again when next taken, which the rounds that write to tmpfs feel.
long long memory_handed_back_kib() {
    FILE* in = fopen("/sys/module/page_reporting/parameters/reported_kib", "r");
    long long kib = -1;
    if (in != nullptr) {
        if (fscanf(in, "%lld", &kib) != 1) kib = -1;
        fclose(in);
    }
    return kib;
}

// The tool's data path without the tool: no processes, no rendezvous, no key exchange. One thread reads
// `file` a batch at a time, sums and seals it in chunks into one buffer and sends that; the other
// takes what the socket holds, opens the whole frames in it, sums them and writes them to `out`, a new
// file, a batch per write. What this costs beyond the sealed floor is the machine's: the reads out of
// the page cache, the two socket copies, the pages a new file takes. Best of 3, like `file_mib_s`.
double floor_path(const std::string& file, const std::string& out_path) {
    unsigned char key[crypto_secretstream_xchacha20poly1305_KEYBYTES], sum_key[crypto_onetimeauth_KEYBYTES];
    randombytes_buf(key, sizeof key);
    randombytes_buf(sum_key, sizeof sum_key);
    auto round = [&]() -> double {
        unlink(out_path.c_str());
        int in = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (in < 0 || out < 0) give_up("the path floor cannot open its files");
        int writer = -1, reader = -1;
        loopback_pair(&writer, &reader);
        unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
        crypto_secretstream_xchacha20poly1305_state push_state, pull_state;
        crypto_secretstream_xchacha20poly1305_init_push(&push_state, header, key);
        crypto_secretstream_xchacha20poly1305_init_pull(&pull_state, header, key);
        Clock::time_point start = Clock::now();
        std::thread sending([&] {
            std::vector<unsigned char> plain(tqr::kBatchBytes), sealed(tqr::kBatchBytes / tqr::kChunkBytes * kFrameBytes);
            crypto_onetimeauth_state sum;
            crypto_onetimeauth_init(&sum, sum_key);
            for (ssize_t n; (n = read(in, plain.data(), plain.size())) > 0;) {
                crypto_onetimeauth_update(&sum, plain.data(), static_cast<size_t>(n));
                unsigned char* at = sealed.data();
                for (size_t c = 0; c < static_cast<size_t>(n); c += tqr::kChunkBytes) {
                    size_t length = std::min(tqr::kChunkBytes, static_cast<size_t>(n) - c);
                    uint32_t field = htonl(static_cast<uint32_t>(length + kSealBytes));
                    memcpy(at, &field, 4);
                    crypto_secretstream_xchacha20poly1305_push(&push_state, at + 4, nullptr, plain.data() + c, length,
                                                               nullptr, 0, 0);
                    at += 4 + length + kSealBytes;
                }
                if (!tqr::send_all(writer, sealed.data(), static_cast<size_t>(at - sealed.data()))) break;
            }
            shutdown(writer, SHUT_WR);
        });
        std::vector<unsigned char> buffer(tqr::kBatchBytes + kFrameBytes), plain(tqr::kBatchBytes + tqr::kChunkBytes);
        crypto_onetimeauth_state sum;
        crypto_onetimeauth_init(&sum, sum_key);
        size_t held = 0, batch = 0;
        bool intact = true;
        for (ssize_t n; (n = recv(reader, buffer.data() + held, buffer.size() - held, 0)) > 0;) {
            held += static_cast<size_t>(n);
            size_t at = 0;
            for (uint32_t field; held - at >= 4; at += 4 + ntohl(field)) {
                memcpy(&field, buffer.data() + at, 4);
                size_t length = ntohl(field);
                if (length < kSealBytes || length > tqr::kChunkBytes + kSealBytes) give_up("the path floor lost its frames");
                if (held - at < 4 + length) break;
                intact &= crypto_secretstream_xchacha20poly1305_pull(&pull_state, plain.data() + batch, nullptr, nullptr,
                                                                     buffer.data() + at + 4, length, nullptr, 0) == 0;
                crypto_onetimeauth_update(&sum, plain.data() + batch, length - kSealBytes);
                batch += length - kSealBytes;
                if (batch >= tqr::kBatchBytes) {
                    intact &= write(out, plain.data(), batch) == static_cast<ssize_t>(batch);
                    batch = 0;
                }
            }
            memmove(buffer.data(), buffer.data() + at, held - at);
            held -= at;
        }
        if (batch > 0) intact &= write(out, plain.data(), batch) == static_cast<ssize_t>(batch);
        intact &= close(out) == 0;
        double seconds = seconds_since(start);
        sending.join();
        close(in);
        close(writer);
        close(reader);
        if (!intact) give_up("the path floor failed to open or write its own chunks");
        return seconds;
    };
    struct stat info {};
    if (stat(file.c_str(), &info) != 0) give_up("the path floor cannot see " + file);
    double seconds = best_of("floor_path", 3, round);
    if (run("cmp -s " + file + " " + out_path) != 0) give_up("the path floor's copy differs");
    unlink(out_path.c_str());
    return static_cast<double>(info.st_size) / kMiB / seconds;
}

// A file of random bytes.
void make_file(const std::string& path, uint64_t size) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) give_up("cannot write " + path);
    std::vector<unsigned char> block(kMiB);
    for (uint64_t done = 0; done < size; done += block.size()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - done));
        randombytes_buf(block.data(), n);
        fwrite(block.data(), 1, n, file);
    }
    fclose(file);
}

// `tqr send FILE` into `tqr receive -o OUT CODE`, checked; seconds.
double send_file(const std::string& file) {
    run("rm -f " + g_work + "/out.bin");
    double seconds = transfer(g_tqr + " send --count 1 " + file, 1, [](int, const std::string& code) {
        return g_tqr + " receive -o " + g_work + "/out.bin " + code;
    });
    if (run("cmp -s " + file + " " + g_work + "/out.bin") != 0) give_up("the received file differs");
    return seconds;
}

void print(const char* name, double value) { printf("%s=%.2f\n", name, value); fflush(stdout); }

void verdict(const char* goal, double ratio, bool met) {
    printf("verdict %s: %.2f, %s\n", goal, ratio, met ? "met" : "missed");
}

}  // namespace

int main(int argc, char** argv) {
    if (sodium_init() < 0) give_up("libsodium cannot start");
    signal(SIGPIPE, SIG_IGN);
    std::string self = argv[0];
    g_tqr = getenv("TQR") ? getenv("TQR") : self.substr(0, self.rfind('/') + 1) + "tqr";
    if (access(g_tqr.c_str(), X_OK) != 0) give_up("no tqr at " + g_tqr + " (build it, or set TQR)");
    uint64_t file_bytes = argc > 1 ? strtoull(argv[1], nullptr, 10) * kMiB : kFileBytes;
    // The phases to run (all by default): a comma-separated list of floor,file,path,coordinator,small,folder,fanout.
    std::string phases = "," + std::string(argc > 2 ? argv[2] : "floor,file,path,coordinator,small,folder,fanout") + ",";
    auto want = [&phases](const char* phase) { return phases.find("," + std::string(phase) + ",") != std::string::npos; };
    double floor = 0, path_rate = 0, file_rate = 0, coordinator_rate = 0, small_ms = 0, folder_s = 0, tar_folder_s = 0, tar_posix_folder_s = 0, fanout_rate = 0;
    setenv("TQR_COORDINATOR_PORT", std::to_string(kBasePort).c_str(), 1);
    setenv("TQR_TOP_PORT", std::to_string(kBasePort + 20).c_str(), 1);
    char folder[] = "/dev/shm/zel_bench_transfer_XXXXXX";
    if (!mkdtemp(folder)) give_up("cannot make a folder on /dev/shm");
    g_work = folder;
    printf("# tqr: %s, scratch: %s, load: ", g_tqr.c_str(), folder);
    fflush(stdout);
    run("cat /proc/loadavg");
    const long long handed_back_at_start = memory_handed_back_kib();

    if (want("floor")) {
        double tcp = floor_tcp(file_bytes), seal = floor_seal(file_bytes);
        floor = std::min(tcp, seal);
        print("floor_tcp_mib_s", tcp);
        print("floor_seal_mib_s", seal);
        print("floor_mib_s", floor);
    }

    std::string file = g_work + "/payload.bin";
    if (want("file") || want("path") || want("coordinator") || want("fanout")) make_file(file, file_bytes);
    double mib = static_cast<double>(file_bytes) / kMiB;
    // The sender's own coordinator and a running `tqr coordinator`, a round of each in turn.
    std::vector<Measure> measures;
    if (want("file")) measures.push_back({"file", [&] { return send_file(file); }});
    if (want("coordinator")) {
        measures.push_back({"file_coordinator", [&] {
            int pipe_fds[2];
            if (pipe2(pipe_fds, O_CLOEXEC) != 0) give_up("no pipe");
            pid_t coordinator = g_coordinator = spawn(g_tqr + " coordinator 2>&1", pipe_fds[1]);  // it tells on standard error
            close(pipe_fds[1]);
            await_line(pipe_fds[0], "listening ", 30, "tqr coordinator");  // and drains the pipe from then on
            double seconds = send_file(file);
            kill(coordinator, SIGTERM);
            wait_exit(coordinator, 30, "tqr coordinator");
            g_coordinator = -1;
            return seconds;
        }});
    }
    std::vector<double> best = best_in_turns(3, measures);
    if (want("file")) {
        file_rate = mib / best.front();
        print("file_mib_s", file_rate);
    }
    if (want("path")) {
        path_rate = floor_path(file, g_work + "/path.bin");
        print("floor_path_mib_s", path_rate);
    }
    if (want("coordinator")) {
        coordinator_rate = mib / best.back();
        print("file_coordinator_mib_s", coordinator_rate);
    }

    if (want("small")) {
        std::string small = g_work + "/small.bin";
        make_file(small, 1024);
        std::vector<double> times;
        for (int i = 0; i < 9; ++i) times.push_back(send_file(small) * 1000);
        std::sort(times.begin(), times.end());
        small_ms = times[4];
        print("small_file_ms", small_ms);
    }

    if (want("folder")) {
        // 10,000 files of 1-8 KiB in 100 folders.
        std::string tree = g_work + "/tree";
        std::vector<unsigned char> bytes(8192);
        mkdir(tree.c_str(), 0700);
        for (int i = 0; i < 10000; ++i) {
            if (i % 100 == 0) mkdir((tree + "/" + std::to_string(i / 100)).c_str(), 0700);
            std::string path = tree + "/" + std::to_string(i / 100) + "/f" + std::to_string(i);
            FILE* out = fopen(path.c_str(), "wb");
            if (!out) give_up("cannot write " + path);
            randombytes_buf(bytes.data(), bytes.size());
            fwrite(bytes.data(), 1, 1024 + randombytes_uniform(7 * 1024 + 1), out);
            fclose(out);
        }
        auto folder_round = [&] {
            run("rm -rf " + g_work + "/got");
            double s = transfer(g_tqr + " send --count 1 " + tree, 1, [](int, const std::string& code) {
                return g_tqr + " receive -o " + g_work + "/got " + code;
            });
            if (run("diff -r " + tree + " " + g_work + "/got") != 0) give_up("the received folder differs");
            return s;
        };
        // `tar` as it comes keeps whole seconds; told to keep what the tool keeps (`--format=posix`: a
        // time to the nanosecond, in an extended header before each entry), it makes an archive of the
        // tool's size. Not a goal: the figure shows what the tool's own archive costs against the same.
        auto tar_round = [&](const std::string& format) {
            run("rm -rf " + g_work + "/got");
            mkdir((g_work + "/got").c_str(), 0700);
            double s = transfer("tar -c " + format + "-C " + g_work + " tree | " + g_tqr + " send --count 1 -", 1,
                                [](int, const std::string& code) {
                                    return "sh -c '" + g_tqr + " receive -o - " + code + " | tar -x -C " + g_work + "/got'";
                                });
            if (run("diff -r " + tree + " " + g_work + "/got/tree") != 0) give_up("the received archive differs");
            return s;
        };
        std::vector<double> folder_best = best_in_turns(3, {{"folder", folder_round},
                                                            {"tar_folder", [&] { return tar_round(""); }},
                                                            {"tar_posix_folder", [&] { return tar_round("--format=posix "); }}});
        folder_s = folder_best[0];
        tar_folder_s = folder_best[1];
        tar_posix_folder_s = folder_best[2];
        print("folder_s", folder_s);
        print("tar_folder_s", tar_folder_s);
        print("tar_posix_folder_s", tar_posix_folder_s);
    }

    if (want("fanout")) {
        // Best of 3, as the single receiver's figure it is held to.
        double fanout = best_of("fanout4", 3, [&] {
            run("rm -f " + g_work + "/fan*");
            double s = transfer(g_tqr + " send --count 4 " + file, 4, [](int i, const std::string& code) {
                return g_tqr + " receive -o " + g_work + "/fan" + std::to_string(i) + " " + code;
            });
            for (int i = 0; i < 4; ++i)
                if (run("cmp -s " + file + " " + g_work + "/fan" + std::to_string(i)) != 0) give_up("a fan-out copy differs");
            return s;
        });
        fanout_rate = 4 * mib / fanout;
        print("fanout4_mib_s", fanout_rate);
    }
    run("rm -rf " + g_work);
    if (handed_back_at_start >= 0)
        printf("# freed memory this VM handed back to its host meanwhile: %.0f MiB\n",
               static_cast<double>(memory_handed_back_kib() - handed_back_at_start) / 1024);

    // A goal is judged when the run measured both its figures.
    if (floor > 0 && file_rate > 0) verdict("file_mib_s >= 0.8 x floor_mib_s", file_rate / floor, file_rate >= 0.8 * floor);
    if (file_rate > 0 && coordinator_rate > 0)
        verdict("file_mib_s within 10% of file_coordinator_mib_s", file_rate / coordinator_rate,
                file_rate >= 0.9 * coordinator_rate && file_rate <= 1.1 * coordinator_rate);
    // Not a goal: how near the tool comes to what its data path costs on this machine.
    if (path_rate > 0 && file_rate > 0) printf("# file_mib_s is %.2f x floor_path_mib_s\n", file_rate / path_rate);
    if (small_ms > 0) verdict("small_file_ms <= 30", small_ms, small_ms <= 30);
    if (folder_s > 0) verdict("folder_s <= tar_folder_s", folder_s / tar_folder_s, folder_s <= tar_folder_s);
    if (folder_s > 0) printf("# folder_s is %.2f x tar_posix_folder_s\n", folder_s / tar_posix_folder_s);
    if (file_rate > 0 && fanout_rate > 0)
        verdict("fanout4_mib_s >= file_mib_s", fanout_rate / file_rate, fanout_rate >= file_rate);
    return 0;
}
