// Cookie: the identity of one of the coordinator's parties as it travels in messages, written and read
// with "%p". A value, never a pointer: senders and endstations only echo it, and the coordinator acts
// on a cookie only once its registry of live parties (party_registry.h) vouches for it.
#ifndef ZEL_PROTOCOL_COOKIE_H
#define ZEL_PROTOCOL_COOKIE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class Cookie {
public:
    Cookie() = default;
    // The cookie the coordinator mints for one of its own parties.
    static Cookie of(const void* party) { return Cookie(reinterpret_cast<uintptr_t>(party)); }
    // Reads a "%p" value at the start of `text`. false when none can be read there.
    static bool parse(const char* text, Cookie* out);

    // As "%p" writes it.
    std::string text() const;
    // The same into `out`, which holds kTextBytes; the count written (no terminator).
    static constexpr size_t kTextBytes = 2 + 2 * sizeof(uintptr_t);
    size_t write(char* out) const;
    uintptr_t value() const { return m_value; }
    bool operator==(const Cookie& other) const { return m_value == other.m_value; }
    bool operator!=(const Cookie& other) const { return m_value != other.m_value; }
    bool operator<(const Cookie& other) const { return m_value < other.m_value; }

private:
    explicit Cookie(uintptr_t value) : m_value(value) {}
    uintptr_t m_value = 0;
};

template <>
struct std::hash<Cookie> {
    size_t operator()(const Cookie& cookie) const noexcept { return std::hash<uintptr_t>()(cookie.value()); }
};

#endif
