#include "transfer/read_ahead.h"

#include <system_error>

namespace tqr {

namespace {

constexpr size_t kBatchesAhead = 2;  // filled and not yet read, at most

}  // namespace

ssize_t ReadAhead::lend(const char** data) {
    if (!m_started) {
        m_started = true;
        try {
            m_reader = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread to be had: the source is read here, as it would be without this.
        }
    }
    if (!m_reader.joinable()) {
        if (m_lent.size() != m_batch) m_lent = RawBuffer<char>(m_batch);
        *data = m_lent.data();
        return m_source(m_lent.data(), m_lent.size());
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_lent.empty()) {
        m_free.push_back(std::move(m_lent));  // for the reader's next batch: nothing it waits for
    }
    m_changed.wait(lock, [this] { return !m_ready.empty(); });
    Batch& batch = m_ready.front();
    if (batch.filled <= 0) return batch.filled;  // kept, so that every later call says the same
    ssize_t n = batch.filled;
    m_lent = std::move(batch.bytes);
    m_ready.pop_front();
    // Woken with the lock still held, the reader would mostly run on this CPU only to wait for it.
    lock.unlock();
    m_changed.notify_all();
    *data = m_lent.data();
    return n;
}

void ReadAhead::run() {
    for (;;) {
        RawBuffer<char> bytes;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || m_ready.size() < kBatchesAhead; });
            if (m_stopping) return;
            if (!m_free.empty()) {
                bytes = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        if (bytes.size() != m_batch) bytes = RawBuffer<char>(m_batch);
        ssize_t filled = m_source(bytes.data(), bytes.size());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_ready.push_back(Batch{std::move(bytes), filled});
        }
        m_changed.notify_all();
        if (filled <= 0) return;
    }
}

void ReadAhead::end() {
    if (!m_reader.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    m_reader.join();
}

}  // namespace tqr
