// A fixed run of bytes that is never zeroed: each byte is written before it is read. A vector's bytes
// are zeroed when it is made, and on a fresh mapping (malloc maps a batch of its own) that touches
// every page of it: a 1 KiB transfer would fault in a whole batch, 256 pages, where it needs one. On a
// virtual machine each fault costs several microseconds. Owned by one thread at a time; moved, not
// copied.
#ifndef ZEL_TOOLS_TQR_TRANSFER_RAW_BUFFER_H
#define ZEL_TOOLS_TQR_TRANSFER_RAW_BUFFER_H

#include <cstddef>
#include <memory>

namespace tqr {

template <typename Byte>
class RawBuffer {
public:
    RawBuffer() = default;
    explicit RawBuffer(size_t size) : m_bytes(size > 0 ? new Byte[size] : nullptr), m_size(size) {}
    RawBuffer(RawBuffer&& other) noexcept : m_bytes(std::move(other.m_bytes)), m_size(other.m_size) { other.m_size = 0; }
    RawBuffer& operator=(RawBuffer&& other) noexcept {
        m_bytes = std::move(other.m_bytes);
        m_size = other.m_size;
        other.m_size = 0;
        return *this;
    }

    Byte* data() { return m_bytes.get(); }
    const Byte* data() const { return m_bytes.get(); }
    size_t size() const { return m_size; }
    bool empty() const { return m_size == 0; }

private:
    std::unique_ptr<Byte[]> m_bytes;
    size_t m_size = 0;
};

}  // namespace tqr

#endif
