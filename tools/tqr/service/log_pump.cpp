#include "service/log_pump.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/logmsg.h"

namespace tqr {

namespace {

constexpr size_t kPendingBytes = 256 * 1024;  // of whole lines waiting for the reader, at most
constexpr size_t kLineBytes = 64 * 1024;       // a longer line is cut there: the library's are far shorter
constexpr size_t kBatchBytes = 64 * 1024;      // handed to a writer thread at once, at most

}  // namespace

// Writes to a description that waits: the pump appends what waits to `queued` (up to kBatchBytes
// at a time), and the thread writes it, a chunk a write; `done` (an eventfd the pump polls) counts
// each chunk written, when there is room again. Shared by the pump and its thread, which a reader
// that never reads keeps in write() until the process ends; the thread closes both descriptors when
// it leaves.
struct LogPump::Writer {
    std::mutex mutex;  // guards what follows; taken alone
    std::condition_variable handed;
    std::string queued;   // handed over, not yet taken to be written
    bool writing = false;  // a chunk is being written
    bool ended = false;    // the pump is gone: the thread leaves once nothing is queued
    int error = 0;         // of the last chunk's write: told to the pump with the next hand-over
    int fd = -1;
    int done = -1;

    // Takes in what `done` counted, so that the pump's next poll waits for the next chunk written.
    // With `mutex` held.
    void seen() {
        uint64_t count;
        if (read(done, &count, sizeof count) < 0) {
            // Nothing counted since the last look.
        }
    }

    static void s_write(std::shared_ptr<Writer> self);
};

void LogPump::Writer::s_write(std::shared_ptr<Writer> self) {
    Writer& w = *self;
    std::unique_lock<std::mutex> lock(w.mutex);
    for (;;) {
        w.handed.wait(lock, [&] { return !w.queued.empty() || w.ended; });
        if (w.queued.empty()) break;
        std::string chunk;
        chunk.swap(w.queued);
        w.writing = true;
        lock.unlock();
        int error = 0;
        for (size_t at = 0; at < chunk.size();) {
            ssize_t n = write(w.fd, chunk.data() + at, chunk.size() - at);
            if (n > 0) {
                at += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // Someone else made the shared description non-blocking: this thread may wait all the same.
            pollfd room{w.fd, POLLOUT, 0};
            if (n < 0 && errno == EAGAIN && poll(&room, 1, -1) >= 0) continue;
            error = n < 0 ? errno : EIO;
            break;
        }
        lock.lock();
        w.writing = false;
        if (error != 0) w.error = error;
        const uint64_t one = 1;
        if (write(w.done, &one, sizeof one) < 0) {
            // A counter of eventfd cannot overflow from one count a chunk.
        }
    }
    close(w.fd);
    close(w.done);
}

bool LogPump::start(int target, std::string* why) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        *why = std::string("cannot make a pipe for it: ") + strerror(errno);
        close(target);
        return false;
    }
    fcntl(target, F_SETFL, fcntl(target, F_GETFL) | O_NONBLOCK);
    m_in = ends[0];
    m_target = m_ready = target;
    {
        std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
        g_logmsg.open("/proc/self/fd/" + std::to_string(ends[1]), std::ios::out | std::ios::app);
        if (!g_logmsg.is_open()) *why = "cannot open it again by its descriptor";
    }
    close(ends[1]);
    if (why->empty()) m_thread = std::thread([this] { run(); });
    return why->empty();
}

bool LogPump::start_for_stderr() {
    struct stat info {};
    if (fstat(STDERR_FILENO, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode) || S_ISCHR(info.st_mode)))
        return false;
    if (S_ISCHR(info.st_mode) && isatty(STDERR_FILENO) != 1) return false;  // /dev/null, which never waits
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    // A description of its own, whose flags are the pump's to set (the shell's stays as it is); a
    // socket cannot be opened again, and a terminal or pipe of another user's may not be.
    m_socket = S_ISSOCK(info.st_mode);
    // Opened without waiting: a fifo whose reader left would hold the open until one came.
    // A terminal's master side would open as /dev/ptmx, a new terminal that nobody reads.
    int pty_number = 0;
    const bool master = S_ISCHR(info.st_mode) && ioctl(STDERR_FILENO, TIOCGPTN, &pty_number) == 0;
    int target = m_socket || master ? -1 : open("/proc/self/fd/2", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool shared = target < 0 && !m_socket;
    if (target < 0) target = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    m_stderr = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    std::shared_ptr<Writer> writer;
    if (shared && target >= 0) {
        writer = std::make_shared<Writer>();
        writer->done = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        writer->fd = target;
    }
    if (target < 0 || m_stderr < 0 || (writer && writer->done < 0) || dup2(ends[1], STDERR_FILENO) < 0) {
        for (int fd : {ends[0], ends[1], target, m_stderr, writer ? writer->done : -1})
            if (fd >= 0) close(fd);
        m_stderr = -1;
        return false;
    }
    close(ends[1]);
    m_in = ends[0];
    if (writer) {
        // The writer owns the shared description now; it alone may wait on it.
        m_writer = writer;
        m_ready = writer->done;
        std::thread(Writer::s_write, writer).detach();
    } else {
        m_target = m_ready = target;
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

LogPump::~LogPump() {
    if (m_in < 0) return;
    if (m_thread.joinable()) {
        // The end of the stream ends the pump, once it passed on what the reader takes by the
        // linger's end.
        if (m_stderr >= 0) {
            fflush(stderr);
            dup2(m_stderr, STDERR_FILENO);
        } else {
            std::lock_guard<std::mutex> guard(zel::logmsg_mutex());
            g_logmsg.close();
        }
        m_thread.join();
    }
    if (m_writer) {
        std::lock_guard<std::mutex> guard(m_writer->mutex);
        m_writer->ended = true;
        m_writer->handed.notify_one();
    }
    if (m_stderr >= 0) close(m_stderr);
    close(m_in);
    if (m_target >= 0) close(m_target);
}

// Both look at the writer, and so take in its event.
bool LogPump::writer_busy() {
    if (!m_writer) return false;
    std::lock_guard<std::mutex> guard(m_writer->mutex);
    m_writer->seen();
    return m_writer->writing || !m_writer->queued.empty();
}

size_t LogPump::writer_room() {
    std::lock_guard<std::mutex> guard(m_writer->mutex);
    m_writer->seen();
    return m_writer->queued.size() >= kBatchBytes ? 0 : kBatchBytes - m_writer->queued.size();
}

ssize_t LogPump::write_now(const char* data, size_t size) {
    if (m_socket) return send(m_target, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (m_writer) {
        Writer& w = *m_writer;
        std::lock_guard<std::mutex> guard(w.mutex);
        if (w.error != 0) {
            // What it last took went nowhere: as with a reader that left, what waits is dropped.
            errno = w.error;
            w.error = 0;
            return -1;
        }
        // A line longer than a batch goes alone.
        if (!w.queued.empty() && w.queued.size() + size > kBatchBytes) {
            errno = EAGAIN;
            return -1;
        }
        w.queued.append(data, size);
        w.handed.notify_one();
        return static_cast<ssize_t>(size);
    }
    return write(m_target, data, size);
}

void LogPump::run() {
    // Whole lines waiting for the reader, oldest first; the first may be partly written already.
    struct Line {
        std::string text;
        size_t tells = 0;  // a line that tells of dropped ones: how many
    };
    std::deque<Line> pending;
    size_t pending_bytes = 0, front_written = 0;
    std::string line;
    std::vector<char> chunk(64 * 1024);
    // The writer's event counts chunks written; a target of our own says when it has room.
    const short ready_event = m_writer ? POLLIN : POLLOUT;
    auto pass_on = [&] {
        while (!pending.empty()) {
            // The writer is handed what waits in batches that fit its room, even while it writes: the
            // lines that came together, the stop's own among them, go out in one write when the
            // reader keeps up, and are handed over before the end even when it is busy.
            const std::string* out = &pending.front().text;
            size_t lines = 1;
            std::string batch;
            if (m_writer) {
                const size_t room = writer_room();
                if (room < kBatchBytes && room < out->size()) return;  // waits for the writer's event
                for (lines = 0; lines < pending.size() && (lines == 0 || batch.size() + pending[lines].text.size() <= room); ++lines)
                    batch += pending[lines].text;
                out = &batch;
            }
            ssize_t n = write_now(out->data() + front_written, out->size() - front_written);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                front_written += static_cast<size_t>(n);
                if (front_written < out->size()) continue;
                for (; lines > 0; --lines) {
                    pending_bytes -= pending.front().text.size();
                    pending.pop_front();
                }
                front_written = 0;
                continue;
            }
            // No room (EAGAIN), or nobody reads the fifo now (EPIPE): a reader that left drops what
            // was meant for it; one that comes later gets what follows.
            if (n < 0 && errno != EAGAIN) {
                pending.clear();
                pending_bytes = front_written = 0;
            }
            return;
        }
    };
    auto notice = [&](size_t count) {
        return m_stderr >= 0 ? "status_dropped count=" + std::to_string(count) + "\n"
                             : "tqr coordinator: " + std::to_string(count) +
                                   (count == 1 ? " log line was" : " log lines were") +
                                   " dropped: the log's reader did not read them in time\n";
    };
    // Told where the lines went missing: after the line under way, in one line that counts them all.
    auto tell_dropped = [&](size_t count) {
        if (pending.size() > 1 && pending[1].tells > 0) {
            Line& told = pending[1];
            pending_bytes -= told.text.size();
            told.tells += count;
            told.text = notice(told.tells);
            pending_bytes += told.text.size();
            return;
        }
        Line told{notice(count), count};
        pending_bytes += told.text.size();
        pending.insert(pending.size() > 0 ? pending.begin() + 1 : pending.end(), std::move(told));
    };
    // Room is made by dropping the oldest lines not yet begun: the newest (the stop's own, say) are
    // what a reader that comes back wants.
    auto take = [&](const std::string& whole) {
        size_t gone = 0;
        for (;;) {
            const size_t oldest = pending.size() > 1 && pending[1].tells > 0 ? 2 : 1;
            if (pending_bytes + whole.size() + 200 <= kPendingBytes || pending.size() <= oldest) break;
            pending_bytes -= pending[oldest].text.size();
            pending.erase(pending.begin() + static_cast<long>(oldest));
            ++gone;
        }
        const bool fits = pending_bytes + whole.size() + 200 <= kPendingBytes;
        if (!fits) ++gone;
        if (gone > 0) tell_dropped(gone);
        if (fits) {
            pending_bytes += whole.size();
            pending.push_back(Line{whole, 0});
        }
    };
    for (;;) {
        // The target is waited on only while something waits for it: a fifo without a reader says
        // POLLERR for as long as it has none.
        pollfd fds[2] = {{m_in, POLLIN, 0}, {pending.empty() ? -1 : m_ready, ready_event, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) pass_on();
        if (fds[0].revents == 0) continue;
        ssize_t n = read(m_in, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (const char *at = chunk.data(), *end = at + n; at < end;) {
            const char* newline = static_cast<const char*>(memchr(at, '\n', static_cast<size_t>(end - at)));
            const size_t length = static_cast<size_t>((newline ? newline + 1 : end) - at), room = kLineBytes - line.size();
            line.append(at, std::min(length, room));
            at += std::min(length, room);
            if (newline == nullptr && length <= room) break;  // the rest of the line is still to come
            if (line.back() != '\n') line += '\n';
            take(line);
            line.clear();
        }
        pass_on();
    }
    if (!line.empty()) take(line + "\n");
    pass_on();
    // A reader that is late (a pager, a journal catching up) gets the last lines, the stop's own, if
    // it reads within the linger. A signal that would stop it again ends the wait: whoever sends it
    // wants the process gone. It is left pending, for the other pump to see too.
    using Clock = std::chrono::steady_clock;
    const Clock::rep given = m_until.load();
    const Clock::time_point until = given != 0 ? Clock::time_point(Clock::duration(given))
                                               : Clock::now() + std::chrono::milliseconds(static_cast<long>(m_linger * 1000));
    if (until <= Clock::now()) return;
    const int cut = signalfd(-1, &m_cut_signals, SFD_NONBLOCK | SFD_CLOEXEC);
    for (long left; (!pending.empty() || writer_busy()) &&
                    (left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count()) > 0;) {
        pollfd fds[2] = {{m_ready, ready_event, 0}, {cut, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left)) < 0 && errno != EINTR) break;
        if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 || fds[1].revents != 0) break;
        pass_on();
    }
    if (cut >= 0) close(cut);
}

}  // namespace tqr
