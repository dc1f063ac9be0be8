// The encrypted mode of `tqr` (tools/tqr/secure.h): its pieces on socket pairs in this process, then the
// tool itself, each party its own process on loopback, with a relay of this test in the middle of the
// direct link that watches, damages or takes over what passes.
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include <sodium.h>

#include "raw_party.h"
#include "tools/tqr/payload.h"
#include "tools/tqr/secure.h"

namespace {

namespace fs = std::filesystem;
using namespace zel_test;
using std::chrono::seconds;
using tqr::ConfirmResult;
using tqr::LinkKeys;
using tqr::ReceiveResult;
using tqr::Session;

// Outside ctest the same range as under it.
const bool g_ports_set = [] {
    setenv("TQR_COORDINATOR_PORT", "22000", 0);
    setenv("TQR_TOP_PORT", "22020", 0);
    setenv("ZEL_TEST_PORT_BASE", "22040", 0);
    // A relay or feeder writing to a party that left must get an error, not end the test.
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

// One step of a tqr process; generous, for the sanitizer builds.
const milliseconds kStep = seconds(60);

std::string random_text(size_t size, unsigned start) {
    std::mt19937 generator(start);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

// ---------------------------------------------------------------------------------------------------
// In this process: keys, confirmation and the sealed stream on socket pairs.

TEST(CryptoTest, DerivedAndGeneratedKeys) {
    LinkKeys keys("correct horse", "conf");
    const std::string& check = keys.check_key();
    ASSERT_EQ(check.size(), 64u);
    EXPECT_TRUE(std::all_of(check.begin(), check.end(), [](char c) { return isxdigit(c) && !isupper(c); }));
    // The same for the same key and conference, different for a change of either; the conference is
    // length-prefixed, so moving a character from it to the key changes the keys too.
    EXPECT_EQ(LinkKeys("correct horse", "conf").check_key(), check);
    EXPECT_NE(LinkKeys("correct horsf", "conf").check_key(), check);
    EXPECT_NE(LinkKeys("correct horse", "conf2").check_key(), check);
    EXPECT_NE(LinkKeys("ycorrect horse", "con").check_key(), LinkKeys("correct horse", "cony").check_key());
    // The transfer secret is not the check key's bytes, which the key check reveals.
    char secret_hex[65];
    EXPECT_NE(check, sodium_bin2hex(secret_hex, sizeof secret_hex, keys.transfer_secret(), 32));

    // Generated keys: seven groups of four base32 characters, each one new, all 32 symbols in use.
    std::set<std::string> seen;
    std::set<char> letters;
    for (int i = 0; i < 200; ++i) {
        std::string key = tqr::generate_key();
        ASSERT_EQ(key.size(), 34u) << key;
        for (size_t at = 0; at < key.size(); ++at) {
            char c = key[at];
            ASSERT_TRUE(at % 5 == 4 ? c == '-' : (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7')) << key;
            letters.insert(c);
        }
        EXPECT_TRUE(seen.insert(key).second) << key;
        EXPECT_EQ(tqr::normalise_key(key), key);
    }
    EXPECT_EQ(letters.size(), 33u);
    // However a generated key was typed, it comes back the same; other keys stay as they are.
    std::string key = "ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23";
    EXPECT_EQ(tqr::normalise_key("abcdefgh ijklmnop qrstuvwx yz23"), key);
    EXPECT_EQ(tqr::normalise_key(" abcd-efgh-ijkl-mnop-qrst-uvwx-yz23\t"), key);
    for (const char* other : {"ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ2", "ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ21", "secret", ""})
        EXPECT_EQ(tqr::normalise_key(other), other);
}

// Two ends of a local stream socket, closed when it goes.
struct SocketPair {
    int fd[2] = {-1, -1};
    SocketPair() { socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd); }
    ~SocketPair() {
        for (int end : fd)
            if (end >= 0) close(end);
    }
};

TEST(CryptoTest, ConfirmationNeedsTheSameKeyTheSameConferenceAndBothRoles) {
    LinkKeys keys("k", "conf"), other_key("K", "conf"), other_conference("k", "conf2");
    Session sender, peer;
    using Both = std::pair<ConfirmResult, ConfirmResult>;
    // confirm_link on both ends at once, the first a sender with `keys`.
    auto confirm = [&](const LinkKeys& peer_keys, bool peer_is_sender) {
        SocketPair pair;
        ConfirmResult theirs = tqr::CONFIRM_ENDED;
        std::thread other([&] { theirs = tqr::confirm_link(pair.fd[1], peer_is_sender, peer_keys, &peer); });
        ConfirmResult ours = tqr::confirm_link(pair.fd[0], true, keys, &sender);
        // A side that gave up closes its end, as the tool does, so that the other stops waiting.
        if (ours != tqr::CONFIRMED) shutdown(pair.fd[0], SHUT_RDWR);
        other.join();
        return Both(ours, theirs);
    };
    ASSERT_EQ(confirm(keys, false), Both(tqr::CONFIRMED, tqr::CONFIRMED));
    EXPECT_EQ(memcmp(sender.stream_key, peer.stream_key, 32), 0);
    // Every link has keys of its own, even with the same key on both ends.
    std::string earlier(reinterpret_cast<const char*>(sender.stream_key), 32);
    ASSERT_EQ(confirm(keys, false), Both(tqr::CONFIRMED, tqr::CONFIRMED));
    EXPECT_NE(earlier, std::string(reinterpret_cast<const char*>(sender.stream_key), 32));

    EXPECT_EQ(confirm(other_key, false), Both(tqr::CONFIRM_MISMATCH, tqr::CONFIRM_MISMATCH));
    EXPECT_EQ(confirm(other_conference, false), Both(tqr::CONFIRM_MISMATCH, tqr::CONFIRM_MISMATCH));
    // Both claim the same role (a reflected hello): neither goes on.
    EXPECT_EQ(confirm(keys, true), Both(tqr::CONFIRM_FOREIGN, tqr::CONFIRM_FOREIGN));
    // A plain sender's first bytes, and a peer that leaves at once.
    SocketPair plain, gone;
    std::string plain_start = "TQRPAY01" + std::string(60, '\0');
    send(plain.fd[1], plain_start.data(), plain_start.size(), MSG_NOSIGNAL);
    EXPECT_EQ(tqr::confirm_link(plain.fd[0], false, keys, &peer), tqr::CONFIRM_FOREIGN);
    shutdown(gone.fd[1], SHUT_WR);
    EXPECT_EQ(tqr::confirm_link(gone.fd[0], false, keys, &peer), tqr::CONFIRM_ENDED);
}

void fill_session(Session* session, unsigned start) {
    std::string bytes = random_text(3 * 32, start);
    memcpy(session->stream_key, bytes.data(), 32);
    memcpy(session->checksum_key, bytes.data() + 32, 32);
    memcpy(session->receipt_key, bytes.data() + 64, 32);
}

// What send_sealed writes for `payload` (from memory, or streamed from a pipe), and its end message.
std::string seal(const Session& session, const std::string& payload, bool streamed = false,
                 std::string* end_message = nullptr) {
    SocketPair pair;
    std::string wire;
    std::thread reader([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = recv(pair.fd[1], buffer, sizeof buffer, 0)) > 0) wire.append(buffer, static_cast<size_t>(n));
    });
    tqr::PayloadSource source;
    int input[2] = {-1, -1};
    std::thread feeder;
    if (streamed) {
        EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
        EXPECT_TRUE(source.open("/dev/fd/" + std::to_string(input[0]), true));
        EXPECT_TRUE(source.streamed());
        // In pieces, so that the chunks come in all sizes.
        feeder = std::thread([&] {
            for (size_t at = 0; at < payload.size(); at += 1000) {
                size_t piece = std::min<size_t>(1000, payload.size() - at);
                EXPECT_EQ(write(input[1], payload.data() + at, piece), static_cast<ssize_t>(piece));
            }
            close(input[1]);
        });
    } else {
        source.assign(std::vector<unsigned char>(payload.begin(), payload.end()));
    }
    unsigned char end[tqr::kEndBytes];
    EXPECT_TRUE(tqr::send_sealed(pair.fd[0], session, "name.bin", source, nullptr, end));
    shutdown(pair.fd[0], SHUT_WR);
    reader.join();
    if (feeder.joinable()) feeder.join();
    if (input[0] >= 0) close(input[0]);
    if (end_message) end_message->assign(reinterpret_cast<char*>(end), sizeof end);
    return wire;
}

// receive_sealed of `wire`; what `write` was given goes to `payload`.
ReceiveResult open_sealed(const Session& session, const std::string& wire, std::string* payload = nullptr,
                          tqr::PayloadHeader* header_out = nullptr) {
    SocketPair pair;
    std::thread writer([&] {
        tqr::send_all(pair.fd[0], wire.data(), wire.size());
        shutdown(pair.fd[0], SHUT_WR);
    });
    std::string got;
    unsigned char end[tqr::kEndBytes];
    ReceiveResult result = tqr::receive_sealed(
        pair.fd[1], session,
        [&](const tqr::PayloadHeader& header) {
            if (header_out) *header_out = header;
            return true;
        },
        [&](const unsigned char* data, size_t size) {
            got.append(reinterpret_cast<const char*>(data), size);
            return true;
        },
        nullptr, end);
    // Unblocks the writer if the receiver stopped early.
    shutdown(pair.fd[1], SHUT_RDWR);
    writer.join();
    if (payload) *payload = got;
    return result;
}

// The sealed chunks of `wire`, each whole: after the 24-byte stream header, a length (4 bytes) and a message.
std::vector<std::string> chunks_of(const std::string& wire) {
    std::vector<std::string> chunks;
    for (size_t at = 24; at + 4 <= wire.size(); at += chunks.back().size())
        chunks.push_back(wire.substr(at, 4 + tqr::get_be(bytes_of(wire) + at, 4)));
    return chunks;
}

TEST(CryptoTest, SealedStreamCatchesEveryChangedMissingOrMovedByte) {
    Session session, stranger;
    fill_session(&session, 1);
    fill_session(&stranger, 3);
    std::string payload = random_text(64 * 1024 + 1, 2);
    std::string end_message;
    std::string wire = seal(session, payload, false, &end_message);
    std::string got;
    tqr::PayloadHeader header;
    ASSERT_EQ(open_sealed(session, wire, &got, &header), tqr::RECEIVED_INTACT);
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(header.name, "name.bin");
    EXPECT_TRUE(header.size_known && header.size == payload.size());
    EXPECT_EQ(tqr::get_be(bytes_of(end_message), 8), payload.size());
    // Neither the payload nor its name is readable on the wire.
    EXPECT_EQ(wire.find(payload.substr(1000, 32)), std::string::npos);
    EXPECT_EQ(wire.find("name.bin"), std::string::npos);

    // The header chunk, a full data chunk, a one-byte data chunk, the end chunk.
    std::vector<std::string> chunks = chunks_of(wire);
    ASSERT_EQ(chunks.size(), 4u);
    size_t long_start = 24 + chunks[0].size() + 4, long_end = long_start + chunks[1].size() - 4;
    // Every byte of the framing and of the short chunks, and every 61st byte inside the long one:
    // flipped, nothing is accepted; cut there, the payload is short.
    for (size_t at = 0; at < wire.size(); ++at) {
        if (at >= long_start + 200 && at + 200 < long_end && at % 61 != 0) continue;
        std::string flipped = wire;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
        ReceiveResult result = open_sealed(session, flipped);
        ASSERT_TRUE(result == tqr::RECEIVED_CORRUPT || result == tqr::RECEIVED_SHORT) << "byte " << at << " " << result;
        ASSERT_EQ(open_sealed(session, wire.substr(0, at)), at == 0 ? tqr::RECEIVED_NOTHING : tqr::RECEIVED_SHORT)
            << "cut at " << at;
    }

    // Replayed, reordered, left out, or taken from another transfer under the same keys.
    std::string head = wire.substr(0, 24);
    const std::string& h = chunks[0];
    EXPECT_EQ(open_sealed(session, head + h + chunks[1] + chunks[1] + chunks[2] + chunks[3]), tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(session, head + h + chunks[2] + chunks[1] + chunks[3]), tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(session, head + h + chunks[1] + chunks[3]), tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(session, head + h + chunks[1] + chunks[2]), tqr::RECEIVED_SHORT);
    EXPECT_EQ(open_sealed(session, head + h + chunks[1] + chunks[2] + chunks_of(seal(session, payload))[3]),
              tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(stranger, wire), tqr::RECEIVED_CORRUPT);
    // A length beyond any chunk is refused before anything is read into it.
    EXPECT_EQ(open_sealed(session, head + std::string("\x7F\xFF\xFF\xFF", 4)), tqr::RECEIVED_CORRUPT);
}

TEST(CryptoTest, SealedStreamOfUnknownLengthAndItsReceipt) {
    Session session, stranger;
    fill_session(&session, 4);
    fill_session(&stranger, 6);
    // Streamed in pieces of all sizes; its length is told only by the end chunk.
    std::string payload = random_text(200 * 1024 + 7, 5), end_message, got;
    std::string wire = seal(session, payload, true, &end_message);
    tqr::PayloadHeader header;
    ASSERT_EQ(open_sealed(session, wire, &got, &header), tqr::RECEIVED_INTACT);
    EXPECT_TRUE(got == payload);
    EXPECT_FALSE(header.size_known);
    EXPECT_EQ(tqr::get_be(bytes_of(end_message), 8), payload.size());
    // Without its end chunk a streamed payload is short, however much came before.
    EXPECT_EQ(open_sealed(session, wire.substr(0, wire.size() - chunks_of(wire).back().size())), tqr::RECEIVED_SHORT);

    // The receipt: only the endstation of this session can make it, for this end message.
    std::string other_end = end_message;
    other_end[0] ^= 1;
    const struct {
        const Session* signer;
        bool intact;
        const std::string& end;
        int expected;
    } cases[] = {{&session, true, end_message, 1},
                 {&session, false, end_message, 0},
                 {&stranger, true, end_message, 0},
                 {&session, true, other_end, 0}};
    for (const auto& test : cases) {
        SocketPair pair;
        ASSERT_TRUE(tqr::send_receipt(pair.fd[1], *test.signer, test.intact, bytes_of(test.end)));
        EXPECT_EQ(tqr::wait_receipt(pair.fd[0], session, bytes_of(end_message), 1000), test.expected);
    }
    SocketPair silent;
    EXPECT_EQ(tqr::wait_receipt(silent.fd[0], session, bytes_of(end_message), 10), -1);
}

// ---------------------------------------------------------------------------------------------------
// The tool, each party its own process.

// `tqr coordinator` on this test's port; it has started once it accepts connections.
struct Coordinator : TqrProcess {
    explicit Coordinator(const TempDir& dir) : TqrProcess({"coordinator", "--quiet"}, dir.path(), dir.path()) {}
    bool ready() { return accepting(coordinator_port(), kStep); }
    int stop() { return stop_with(SIGTERM, kStep); }
};

// Standard input of a tqr process that the test writes while the process runs: a FIFO, which the
// process opens first thing.
class Feed {
public:
    explicit Feed(const std::string& path) : m_path(path) { mkfifo(path.c_str(), 0600); }
    ~Feed() { end(); }
    const std::string& path() const { return m_path; }

    // Writes all of `bytes` as the reader takes them; false when it left or took too long.
    bool write(const std::string& bytes) {
        auto until = std::chrono::steady_clock::now() + kStep;
        if (m_fd < 0 &&
            !wait_until([&] { return (m_fd = open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }, kStep))
            return false;
        for (size_t at = 0; at < bytes.size();) {
            pollfd ready{m_fd, POLLOUT, 0};
            if (std::chrono::steady_clock::now() > until) return false;
            if (poll(&ready, 1, 100) <= 0) continue;
            ssize_t n = ::write(m_fd, bytes.data() + at, bytes.size() - at);
            if (n < 0 && errno != EAGAIN) return false;
            if (n > 0) at += static_cast<size_t>(n);
        }
        return true;
    }
    // The end of the input.
    void end() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    std::string m_path;
    int m_fd = -1;
};

TEST(CryptoTest, RoundTripsOfEdgeSizesFromFilesAndStreamsEncryptedAndPlain) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    const size_t chunk = tqr::kChunkBytes;
    std::vector<std::string> key{"TQR_KEY=round trip"};
    int conference = 0;
    for (size_t size : {size_t{0}, size_t{1}, chunk - 1, chunk, chunk + 1, size_t{10} << 20}) {
        std::string payload = random_text(size, static_cast<unsigned>(size));
        write_file(dir / "payload.bin", payload);
        for (bool plain : {false, true}) {
            for (bool streamed : {false, true}) {
                // A plain sender reads standard input whole before it sends: past that, a file's path.
                if (plain && streamed && (size == chunk - 1 || size == chunk + 1)) continue;
                std::string name = "c" + std::to_string(++conference);
                SCOPED_TRACE(std::to_string(size) + " bytes, " + (plain ? "plain, " : "encrypted, ") +
                             (streamed ? "standard input to standard output" : "file to file"));
                std::vector<std::string> send_args{"send", "--conference", name, "--count", "1",
                                                   streamed ? "-" : "payload.bin"};
                std::vector<std::string> receive_args{"receive", "--conference", name, "--output",
                                                      streamed ? "-" : "got"};
                if (plain) {
                    send_args.insert(send_args.begin() + 1, "--plain");
                    receive_args.insert(receive_args.begin() + 1, "--plain");
                }
                Feed feed(dir / (name + ".in"));
                TqrProcess sender(send_args, dir.path(), dir.path(), key, streamed ? feed.path() : "/dev/null");
                fs::create_directory(dir / name);
                TqrProcess receiver(receive_args, dir / name, dir.path(), key);
                if (streamed) {
                    // Encrypted, what came so far is out at the other end while standard input is still open.
                    EXPECT_TRUE(feed.write(payload.substr(0, size / 2)));
                    if (!plain) {
                        EXPECT_TRUE(wait_until([&] { return receiver.out().size() >= size / 2; }, kStep));
                    }
                    EXPECT_TRUE(feed.write(payload.substr(size / 2)));
                    feed.end();
                }
                ASSERT_EQ(receiver.wait(kStep), 0) << receiver.err();
                ASSERT_EQ(sender.wait(kStep), 0) << sender.err();
                // Under its final name only, the temporary file gone; on standard output, no file at all.
                std::vector<std::string> left = names_in(dir / name);
                EXPECT_EQ(left, streamed ? std::vector<std::string>{} : std::vector<std::string>{"got"});
                EXPECT_TRUE((streamed ? receiver.out() : read_file(dir / (name + "/got"))) == payload);
            }
        }
    }
    EXPECT_EQ(coordinator.stop(), 0);
}

// Later reads and writes on `fd` give up after a step's time, so that nothing here waits for ever.
void bound(int fd) {
    timeval limit{kStep.count() / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// A man in the middle of one endstation, which takes it for its coordinator. It passes the coordinator
// link on frame by frame, but names its own port in "Connect " (and the sender's again in "Connected "),
// so that the direct link to the sender runs through it too. There it learns the check key from the key
// frames, as anyone on the link can, and then, by `mode`, watches, damages or takes over the sender's
// side of the stream. The test thread runs it with receive(); its own threads carry the links, and
// what it learned is read once receive() returned.
class Relay {
public:
    enum Mode { WATCH, FLIP, DROP_END, REPLAY, IMPERSONATE };

    // The payload of these tests: the header chunk, 16 full data chunks, the end chunk.
    static constexpr size_t kPayloadBytes = 16 * tqr::kChunkBytes;

    Relay(Mode mode, const std::string& conference) : m_mode(mode), m_conference(conference) {}
    ~Relay() { join(); }

    // Runs `tqr receive ARGS` in `folder` with `key`, pointed at the relay; its exit status and stderr.
    int receive(const std::vector<std::string>& args, const std::string& folder, const TempDir& logs,
                const std::string& key, std::string* err) {
        fs::create_directories(folder);
        m_front = listen_on(port(0));
        m_direct = listen_on(port(1));
        if (m_front < 0 || m_direct < 0) return -2;
        m_thread = std::thread([this] { run(); });
        TqrProcess receiver(args, folder, logs.path(),
                            {"TQR_COORDINATOR_PORT=" + std::to_string(port(0)),
                             "TQR_TOP_PORT=" + std::to_string(port(0) + 20), "TQR_KEY=" + key});
        int status = receiver.wait(kStep);
        join();
        *err = receiver.err();
        return status;
    }

    const std::string& seen() const { return m_seen; }
    const std::string& learned_key() const { return m_learned_key; }
    bool linked() const { return m_linked; }

private:
    void join() {
        if (m_thread.joinable()) m_thread.join();
        for (int* fd : {&m_front, &m_direct}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }

    void record(const char* data, size_t size) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_seen.append(data, size);
    }

    void run() {
        int receiver = tqr::wait_readable(m_front, static_cast<int>(kStep.count()))
                           ? accept4(m_front, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        int coordinator = receiver < 0 ? -1 : connect_to(coordinator_port());
        if (coordinator >= 0) {
            for (int fd : {receiver, coordinator}) bound(fd);
            std::thread direct([this] { link(); });
            std::thread up([&] { pass_frames(receiver, coordinator, false); });
            pass_frames(coordinator, receiver, true);
            up.join();
            m_front_done = true;
            direct.join();
        }
        for (int fd : {receiver, coordinator})
            if (fd >= 0) close(fd);
    }

    // The coordinator link one way, frame by frame, with the ports swapped; ends the other way too.
    void pass_frames(int from, int to, bool to_receiver) {
        std::string pending;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(from, buffer, sizeof buffer, 0)) > 0) {
            record(buffer, static_cast<size_t>(n));
            pending.append(buffer, static_cast<size_t>(n));
            size_t nul;
            bool sent = true;
            while (sent && (nul = pending.find('\0')) != std::string::npos) {
                std::string frame = pending.substr(0, nul);
                pending.erase(0, nul + 1);
                size_t blank = frame.rfind(' ');
                if (to_receiver && frame.compare(0, 8, "Connect ") == 0) {
                    m_sender_port = atoi(frame.c_str() + blank + 1);
                    frame = frame.substr(0, blank + 1) + std::to_string(port(1));
                } else if (!to_receiver && frame.compare(0, 10, "Connected ") == 0) {
                    frame = frame.substr(0, blank + 1) + std::to_string(m_sender_port);
                }
                sent = tqr::send_all(to, frame.c_str(), frame.size() + 1);
            }
            if (!sent) break;
        }
        shutdown(to, SHUT_RDWR);
        shutdown(from, SHUT_RDWR);
    }

    // Bytes from `fd`: one key frame up to and with its NUL (`size` 0), else exactly `size` (fewer when
    // the link ended); recorded.
    std::string take(int fd, size_t size) {
        std::string bytes;
        if (size == 0) {
            for (char byte = 1; byte != '\0' && bytes.size() < 1000 && recv(fd, &byte, 1, 0) == 1;) bytes += byte;
        } else {
            bytes.resize(size);
            bytes.resize(tqr::recv_all(fd, &bytes[0], size));
        }
        record(bytes.data(), bytes.size());
        return bytes;
    }

    // Passes bytes on until `from` ends, then ends `to`'s writing side too.
    void pump(int from, int to) {
        char buffer[65536];
        ssize_t n;
        while ((n = recv(from, buffer, sizeof buffer, 0)) > 0) {
            record(buffer, static_cast<size_t>(n));
            if (!tqr::send_all(to, buffer, static_cast<size_t>(n))) break;
        }
        shutdown(to, SHUT_WR);
    }

    // The direct link: the endstation connects to the relay, the relay to the sender.
    void link() {
        while (!tqr::wait_readable(m_direct, 100))
            if (m_front_done) return;
        int endstation = accept4(m_direct, nullptr, nullptr, SOCK_CLOEXEC);
        int sender = connect_to(m_sender_port);
        if (endstation >= 0 && sender >= 0) {
            m_linked = true;
            for (int fd : {endstation, sender}) bound(fd);
            std::string sender_frame = take(sender, 0), endstation_frame = take(endstation, 0);
            // The sender shows the even characters, the endstation the odd ones: together, all of them.
            for (size_t i = 0; i + 1 < std::min(sender_frame.size(), endstation_frame.size()); ++i)
                m_learned_key.push_back(i % 2 == 0 ? sender_frame[i] : endstation_frame[i]);
            tqr::send_all(endstation, sender_frame.data(), sender_frame.size());
            tqr::send_all(sender, endstation_frame.data(), endstation_frame.size());
            if (m_mode == IMPERSONATE) {
                // Its best guess at K is the key it learned: it runs the real exchange with that on both sides.
                LinkKeys guess(m_learned_key, m_conference);
                Session toward_sender, toward_receiver;
                std::thread other([&] { tqr::confirm_link(sender, false, guess, &toward_sender); });
                tqr::confirm_link(endstation, true, guess, &toward_receiver);
                other.join();
            } else {
                std::thread back([&] { pump(endstation, sender); });
                m_mode == WATCH ? pump(sender, endstation) : tamper(sender, endstation);
                back.join();
            }
        }
        for (int fd : {endstation, sender})
            if (fd >= 0) close(fd);
    }

    // Sender to endstation: hello, confirmation and stream header pass (one at a time: each side sends
    // its MAC only once it has the other's hello); then the chunks, one of them damaged.
    void tamper(int sender, int endstation) {
        bool passing = true;
        for (size_t size : {41, 32, 24}) {
            std::string part = take(sender, size);
            passing = passing && part.size() == size && tqr::send_all(endstation, part.data(), part.size());
        }
        for (size_t index = 0; passing; ++index) {
            std::string chunk = take(sender, 4);
            if (chunk.size() < 4 || (m_mode == DROP_END && index == 17)) break;
            chunk += take(sender, tqr::get_be(bytes_of(chunk), 4));
            std::string out = chunk;
            if (m_mode == FLIP && index == 3) out[out.size() / 2] ^= 1;
            if (m_mode == REPLAY && index == 5) out += chunk;
            passing = tqr::send_all(endstation, out.data(), out.size());
        }
        shutdown(endstation, SHUT_WR);
        // The sender's side ends once the endstation has answered (the other thread passes that on).
        char rest[65536];
        while (recv(sender, rest, sizeof rest, 0) > 0) {
        }
    }

    Mode m_mode;
    std::string m_conference;
    int m_front = -1;
    int m_direct = -1;
    std::thread m_thread;
    std::atomic<int> m_sender_port{0};
    std::atomic<bool> m_front_done{false};
    std::atomic<bool> m_linked{false};
    std::mutex m_mutex;
    std::string m_seen;         // everything that passed, both links, both ways; guarded by m_mutex
    std::string m_learned_key;  // written by the direct link's thread
};

// Whether any of 64 pieces of `payload`, 32 bytes each, appears in `seen`.
bool shows_payload(const std::string& seen, const std::string& payload) {
    for (size_t i = 0; i < 64; ++i)
        if (seen.find(payload.substr(i * (payload.size() / 64), 32)) != std::string::npos) return true;
    return false;
}

TEST(CryptoTest, RelayOnTheDirectLinkLearnsOnlyTheCheckKeyAndCannotChangeThePayload) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string payload = random_text(Relay::kPayloadBytes, 10);
    write_file(dir / "secret-plans.bin", payload);
    const std::string key = "correct horse battery staple";
    LinkKeys keys(key, "relayed");
    // One sender for all: a failed transfer does not count against --count 1.
    TqrProcess sender({"send", "--conference", "relayed", "--count", "1", "secret-plans.bin"}, dir.path(), dir.path(),
                      {"TQR_KEY=" + key});
    const std::pair<Relay::Mode, const char*> cases[] = {{Relay::FLIP, "flip"},
                                                         {Relay::DROP_END, "drop-end"},
                                                         {Relay::REPLAY, "replay"},
                                                         {Relay::IMPERSONATE, "own-keys"},
                                                         {Relay::WATCH, "watch"}};
    for (const auto& [mode, name] : cases) {
        SCOPED_TRACE(name);
        Relay relay(mode, "relayed");
        std::string err;
        int status = relay.receive({"receive", "--conference", "relayed"}, dir / name, dir, key, &err);
        ASSERT_TRUE(relay.linked());
        // The key check gave it the whole check key, and nothing else: not K, not a byte of the payload,
        // not its name, not the transfer secret.
        const std::string& seen = relay.seen();
        EXPECT_EQ(relay.learned_key(), keys.check_key());
        EXPECT_EQ(seen.find("correct"), std::string::npos);
        EXPECT_FALSE(shows_payload(seen, payload));
        EXPECT_EQ(seen.find("secret-plans"), std::string::npos);
        EXPECT_EQ(seen.find(std::string(reinterpret_cast<const char*>(keys.transfer_secret()), 32)), std::string::npos);
        if (mode == Relay::WATCH) {
            // Only watched, the payload arrived intact all the same.
            EXPECT_EQ(status, 0) << err;
            EXPECT_TRUE(read_file(dir / (std::string(name) + "/secret-plans.bin")) == payload);
            continue;
        }
        EXPECT_TRUE(names_in(dir / name).empty());
        ASSERT_TRUE(sender.running()) << sender.err();
        if (mode != Relay::IMPERSONATE) {
            EXPECT_EQ(status, 5) << err;
            continue;
        }
        // Its X25519 keys of its own passed the library's key check (with the check key) on both sides,
        // and both sides refused them.
        EXPECT_EQ(status, 4) << err;
        EXPECT_NE(err.find("the key is wrong"), std::string::npos) << err;
        EXPECT_TRUE(wait_until([&] { return sender.err().find("failed the key confirmation") != std::string::npos; },
                               kStep)) << sender.err();
    }
    EXPECT_EQ(sender.wait(kStep), 0) << sender.err();

    // Plain on both sides, the same relay learns K, the payload and its name.
    TqrProcess plain_sender({"send", "--plain", "--conference", "plain", "--count", "1", "secret-plans.bin"},
                            dir.path(), dir.path(), {"TQR_KEY=" + key});
    Relay relay(Relay::WATCH, "plain");
    std::string err;
    ASSERT_EQ(relay.receive({"receive", "--plain", "--conference", "plain"}, dir / "plain", dir, key, &err), 0) << err;
    EXPECT_TRUE(read_file(dir / "plain/secret-plans.bin") == payload);
    EXPECT_EQ(relay.learned_key(), key);
    EXPECT_TRUE(shows_payload(relay.seen(), payload));
    EXPECT_NE(relay.seen().find("secret-plans.bin"), std::string::npos);
    EXPECT_EQ(plain_sender.wait(kStep), 0) << plain_sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

}  // namespace
