#include "transfer/read_ahead.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace tqr {

namespace {

constexpr size_t kBatchesAhead = 2;  // filled and not yet read, at most

}  // namespace

ssize_t ReadAhead::read(char* out, size_t size) {
    if (!m_started) {
        m_started = true;
        try {
            m_reader = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            // No thread to be had: the source is read here, as it would be without this.
        }
    }
    if (!m_reader.joinable()) return m_source(out, size);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_ready.empty(); });
    Batch& batch = m_ready.front();
    if (batch.filled <= 0) return batch.filled;  // kept, so that every later read says the same
    size_t n = std::min(size, static_cast<size_t>(batch.filled) - batch.taken);
    memcpy(out, batch.bytes.data() + batch.taken, n);
    batch.taken += n;
    if (batch.taken == static_cast<size_t>(batch.filled)) {
        m_free.push_back(std::move(batch.bytes));
        m_ready.pop_front();
        m_changed.notify_all();
    }
    return static_cast<ssize_t>(n);
}

void ReadAhead::run() {
    for (;;) {
        std::vector<char> bytes;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stopping || m_ready.size() < kBatchesAhead; });
            if (m_stopping) return;
            if (!m_free.empty()) {
                bytes = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        bytes.resize(m_batch);
        ssize_t filled = m_source(bytes.data(), bytes.size());
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ready.push_back(Batch{std::move(bytes), filled, 0});
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
