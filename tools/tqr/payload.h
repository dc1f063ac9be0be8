// How `tqr` carries one file over a key-checked direct link, after the library has handed the socket
// to the host:
//
//   sender -> endstation   header: "TQRPAY01", payload length (8 bytes, big-endian),
//                                  name length (2 bytes, big-endian), name
//                          payload
//                          checksum: BLAKE2b-256 (crypto_generichash, 32 bytes) of header and payload
//   endstation -> sender   one byte: 'A' the payload arrived intact, 'N' it did not
//
// The endstation answers only once its own rendezvous is over, so a sender that counts answers knows
// that the coordinator has finished with that endstation.
//
// Pure functions of a socket descriptor: they may run on several threads at once, one link each.
#ifndef ZEL_TOOLS_TQR_PAYLOAD_H
#define ZEL_TOOLS_TQR_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace tqr {

constexpr size_t kChecksumBytes = 32;
constexpr size_t kMaxNameBytes = 1024;
constexpr char kAckIntact = 'A';
constexpr char kAckDamaged = 'N';

// Called with the bytes of payload moved so far on one link.
typedef std::function<void(uint64_t done, uint64_t total)> ByteCounter;

// Writes header, payload and checksum on `fd`. false when the link failed before all of it was out.
bool send_payload(int fd, const std::string& name, const unsigned char* data, uint64_t size,
                  const ByteCounter& counter);

enum ReceiveResult {
    RECEIVED_INTACT,
    RECEIVED_NOTHING,  // the link ended before the first byte: the sender refused or the link failed
    RECEIVED_SHORT,    // the link ended (or stalled) before header, payload and checksum were all in
    RECEIVED_CORRUPT,  // not a tqr header, or the checksum does not match
    RECEIVED_SINK_FAILED,  // `begin` or `write` refused (the host could not store the payload)
};

// What the header announced.
struct PayloadHeader {
    std::string name;
    uint64_t size = 0;
};

// Reads one payload from `fd`: `begin` once the header is in (false stops), then `write` for each
// piece of payload (false stops), verifying length and checksum on the way.
ReceiveResult receive_payload(int fd, const std::function<bool(const PayloadHeader&)>& begin,
                              const std::function<bool(const unsigned char*, size_t)>& write,
                              const ByteCounter& counter);

// The endstation's answer. send_ack: false when it could not be written.
bool send_ack(int fd, bool intact);
// 1 intact, 0 damaged, -1 no answer within `timeout_ms` or the link ended.
int wait_ack(int fd, int timeout_ms);

// A file name that is safe to create in the current folder: the base name of `offered`, or
// "tqr-payload" when nothing usable is left (empty, ".", "..", control characters).
std::string safe_file_name(const std::string& offered);

// Fills `out` with `size` random bytes (libsodium).
void random_bytes(unsigned char* out, size_t size);

// The checksum of `data` as lower-case hex (for summaries).
std::string checksum_hex(const unsigned char* data, size_t size);

}  // namespace tqr

#endif
