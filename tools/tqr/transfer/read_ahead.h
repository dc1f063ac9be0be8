// A source of bytes read on a thread of its own, a batch ahead of the link that seals and sends
// them, so that what reading costs (a folder's opens, reads and headers) overlaps the sealing rather
// than adding to it on one core.
#ifndef ZEL_TOOLS_TQR_TRANSFER_READ_AHEAD_H
#define ZEL_TOOLS_TQR_TRANSFER_READ_AHEAD_H

#include <sys/types.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "transfer/raw_buffer.h"

namespace tqr {

// Made, read and ended by one link's thread; its reader thread, started by the first read(), calls
// `m_source` alone, so the source needs no lock of its own. A source that fails (-1) or ends (0)
// is read no further, and its failure reaches read() after the bytes before it. `m_mutex` guards the
// batches and the flags, and is a leaf.
class ReadAhead {
public:
    // `source` fills up to `size` bytes of `out`: the count, 0 at its end, -1 when it failed.
    using Source = std::function<ssize_t(char* out, size_t size)>;

    ReadAhead(Source source, size_t batch) : m_source(std::move(source)), m_batch(batch) {}
    ~ReadAhead() { end(); }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The source's next batch, in its order, lent in place of a copy: *data is valid until the next
    // call. As the source's read: the count, 0 at its end, -1 when it failed.
    ssize_t lend(const char** data);
    // Stops the reader thread and waits for it: the source is the caller's again.
    void end();

private:
    struct Batch {
        RawBuffer<char> bytes;
        ssize_t filled = 0;  // or the source's 0 or -1
    };
    void run();

    Source m_source;
    const size_t m_batch;
    std::thread m_reader;
    bool m_started = false;  // by the link's thread only
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Batch> m_ready;         // read, in order; the last one may be the source's end
    std::vector<RawBuffer<char>> m_free;  // read out, for the reader to fill again
    RawBuffer<char> m_lent;              // the batch lend() gave last, by the link's thread only
    bool m_stopping = false;
};

}  // namespace tqr

#endif
