// The encrypted mode of `tqr` (tools/tqr/secure.h): its pieces on socket pairs in this process, then the
// tool itself, each party its own process on loopback, with a relay of this test in the middle of the
// direct link that watches, damages or takes over what passes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tools/tqr/payload.h"
#include "tools/tqr/secure.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
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

const milliseconds kStepLimit = seconds(30);

std::string random_text(size_t size, unsigned start) {
    std::mt19937 generator(start);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator());
    return bytes;
}

const unsigned char* bytes_of(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// Whether `text` has the shape of a generated key: seven groups of four base32 characters.
bool key_shaped(const std::string& text) {
    if (text.size() != 34) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool ok = i % 5 == 4 ? c == '-' : (c >= 'A' && c <= 'Z') || (c >= '2' && c <= '7');
        if (!ok) return false;
    }
    return true;
}

// The first generated key in `text`, or "".
std::string find_key(const std::string& text) {
    for (size_t at = 0; at + 34 <= text.size(); ++at)
        if (key_shaped(text.substr(at, 34))) return text.substr(at, 34);
    return "";
}

// ---------------------------------------------------------------------------------------------------
// In this process: keys, confirmation and the sealed stream on socket pairs.

TEST(CryptoTest, DerivedAndGeneratedKeys) {
    LinkKeys keys("correct horse", "conf");
    const std::string& check = keys.check_key();
    ASSERT_EQ(check.size(), 64u);
    EXPECT_TRUE(std::all_of(check.begin(), check.end(), [](char c) { return isxdigit(c) && !isupper(c); }));
    // The same for the same key and conference, different for a change of either, never K itself, and
    // the transfer secret is not the check key's bytes.
    EXPECT_EQ(LinkKeys("correct horse", "conf").check_key(), check);
    EXPECT_NE(LinkKeys("correct horsf", "conf").check_key(), check);
    EXPECT_NE(LinkKeys("correct horse", "conf2").check_key(), check);
    // The conference is length-prefixed: moving a character from it to the key changes both keys.
    EXPECT_NE(LinkKeys("ycorrect horse", "con").check_key(), LinkKeys("correct horse", "cony").check_key());
    EXPECT_EQ(check.find("correct"), std::string::npos);
    unsigned char check_bytes[32];
    for (size_t i = 0; i < 32; ++i) check_bytes[i] = static_cast<unsigned char>(std::stoi(check.substr(2 * i, 2), nullptr, 16));
    EXPECT_NE(memcmp(check_bytes, keys.transfer_secret(), 32), 0);
    EXPECT_EQ(LinkKeys("", "").check_key().size(), 64u);

    // Generated keys: 7 groups of 4 base32 characters, each one new.
    std::set<std::string> seen;
    std::set<char> letters;
    for (int i = 0; i < 200; ++i) {
        std::string key = tqr::generate_key();
        ASSERT_TRUE(key_shaped(key)) << key;
        EXPECT_TRUE(seen.insert(key).second) << key;
        for (char c : key) letters.insert(c);
        EXPECT_EQ(tqr::normalise_key(key), key);
    }
    EXPECT_EQ(letters.size(), 33u);  // all 32 symbols and the dash turn up

    // However a generated key was typed, it comes back the same; other keys stay as they are.
    std::string key = "ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23";
    EXPECT_EQ(tqr::normalise_key("abcdefgh ijklmnop qrstuvwx yz23"), key);
    EXPECT_EQ(tqr::normalise_key(" abcd-efgh-ijkl-mnop-qrst-uvwx-yz23\t"), key);
    EXPECT_EQ(tqr::normalise_key("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ2"), "ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ2");
    EXPECT_EQ(tqr::normalise_key("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ21"), "ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ21");
    EXPECT_EQ(tqr::normalise_key("secret"), "secret");
    EXPECT_EQ(tqr::normalise_key(""), "");
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

struct Confirmed {
    ConfirmResult first, second;
};

// confirm_link on both ends at once.
Confirmed confirm_both(const LinkKeys& first_keys, bool first_is_sender, const LinkKeys& second_keys,
                       bool second_is_sender, Session* first_session, Session* second_session) {
    SocketPair pair;
    Confirmed result{};
    std::thread other(
        [&] { result.second = tqr::confirm_link(pair.fd[1], second_is_sender, second_keys, second_session); });
    result.first = tqr::confirm_link(pair.fd[0], first_is_sender, first_keys, first_session);
    // A side that gave up closes its end, as the tool does, so that the other stops waiting.
    if (result.first != tqr::CONFIRMED) shutdown(pair.fd[0], SHUT_RDWR);
    other.join();
    return result;
}

TEST(CryptoTest, ConfirmationNeedsTheSameKeyTheSameConferenceAndBothRoles) {
    LinkKeys keys("k", "conf");
    Session sender, endstation;
    Confirmed same = confirm_both(keys, true, keys, false, &sender, &endstation);
    ASSERT_EQ(same.first, tqr::CONFIRMED);
    ASSERT_EQ(same.second, tqr::CONFIRMED);
    EXPECT_EQ(memcmp(sender.stream_key, endstation.stream_key, sizeof sender.stream_key), 0);
    EXPECT_EQ(memcmp(sender.checksum_key, endstation.checksum_key, sizeof sender.checksum_key), 0);
    EXPECT_EQ(memcmp(sender.receipt_key, endstation.receipt_key, sizeof sender.receipt_key), 0);
    EXPECT_NE(memcmp(sender.stream_key, sender.receipt_key, sizeof sender.stream_key), 0);
    // Every link has keys of its own, even with the same key on both ends.
    Session again_sender, again_endstation;
    confirm_both(keys, true, keys, false, &again_sender, &again_endstation);
    EXPECT_NE(memcmp(sender.stream_key, again_sender.stream_key, sizeof sender.stream_key), 0);

    Session a, b;
    LinkKeys other_key("K", "conf"), other_conference("k", "conf2");
    Confirmed wrong_key = confirm_both(keys, true, other_key, false, &a, &b);
    EXPECT_EQ(wrong_key.first, tqr::CONFIRM_MISMATCH);
    EXPECT_EQ(wrong_key.second, tqr::CONFIRM_MISMATCH);
    Confirmed wrong_conference = confirm_both(keys, true, other_conference, false, &a, &b);
    EXPECT_EQ(wrong_conference.first, tqr::CONFIRM_MISMATCH);
    EXPECT_EQ(wrong_conference.second, tqr::CONFIRM_MISMATCH);
    // Both claim the same role (a reflected hello): neither goes on.
    Confirmed two_senders = confirm_both(keys, true, keys, true, &a, &b);
    EXPECT_EQ(two_senders.first, tqr::CONFIRM_FOREIGN);
    EXPECT_EQ(two_senders.second, tqr::CONFIRM_FOREIGN);

    // A plain sender's first bytes, and a peer that leaves at once.
    {
        SocketPair pair;
        std::string plain = "TQRPAY01" + std::string(60, '\0');
        send(pair.fd[1], plain.data(), plain.size(), MSG_NOSIGNAL);
        EXPECT_EQ(tqr::confirm_link(pair.fd[0], false, keys, &a), tqr::CONFIRM_FOREIGN);
    }
    {
        SocketPair pair;
        shutdown(pair.fd[1], SHUT_WR);
        EXPECT_EQ(tqr::confirm_link(pair.fd[0], false, keys, &a), tqr::CONFIRM_ENDED);
    }
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
    int pipe_fds[2] = {-1, -1};
    std::thread feeder;
    if (streamed) {
        EXPECT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
        EXPECT_TRUE(source.open("/dev/fd/" + std::to_string(pipe_fds[0]), true));
        EXPECT_TRUE(source.streamed());
        feeder = std::thread([&] {
            // In pieces, so that the chunks come in all sizes.
            for (size_t at = 0; at < payload.size(); at += 1000)
                EXPECT_EQ(write(pipe_fds[1], payload.data() + at, std::min<size_t>(1000, payload.size() - at)),
                          static_cast<ssize_t>(std::min<size_t>(1000, payload.size() - at)));
            close(pipe_fds[1]);
        });
    } else {
        source.assign(std::vector<unsigned char>(payload.begin(), payload.end()));
    }
    unsigned char end[tqr::kEndBytes];
    EXPECT_TRUE(tqr::send_sealed(pair.fd[0], session, "name.bin", source, nullptr, end));
    shutdown(pair.fd[0], SHUT_WR);
    reader.join();
    if (feeder.joinable()) feeder.join();
    if (pipe_fds[0] >= 0) close(pipe_fds[0]);
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

// The sealed chunks of `wire`: [offset, length) of each, after the 24-byte stream header.
std::vector<std::pair<size_t, size_t>> chunks_of(const std::string& wire) {
    std::vector<std::pair<size_t, size_t>> chunks;
    for (size_t at = 24; at + 4 <= wire.size();) {
        size_t length = static_cast<size_t>(tqr::get_be(bytes_of(wire) + at, 4));
        chunks.emplace_back(at, 4 + length);
        at += 4 + length;
    }
    return chunks;
}

TEST(CryptoTest, SealedStreamCatchesEveryChangedMissingOrMovedByte) {
    Session session;
    fill_session(&session, 1);
    std::string payload = random_text(64 * 1024 + 1, 2);
    std::string end_message;
    std::string wire = seal(session, payload, false, &end_message);
    std::string got;
    tqr::PayloadHeader header;
    ASSERT_EQ(open_sealed(session, wire, &got, &header), tqr::RECEIVED_INTACT);
    EXPECT_TRUE(got == payload);
    EXPECT_EQ(header.name, "name.bin");
    EXPECT_EQ(header.size, payload.size());
    EXPECT_TRUE(header.size_known);
    EXPECT_EQ(tqr::get_be(bytes_of(end_message), 8), payload.size());
    // Neither the payload nor its name is readable on the wire.
    EXPECT_EQ(wire.find(payload.substr(1000, 32)), std::string::npos);
    EXPECT_EQ(wire.find("name.bin"), std::string::npos);

    // Stream header, header chunk, a full data chunk, a one-byte data chunk, the end chunk.
    std::vector<std::pair<size_t, size_t>> chunks = chunks_of(wire);
    ASSERT_EQ(chunks.size(), 4u);
    ASSERT_EQ(chunks.back().first + chunks.back().second, wire.size());

    // Every byte of the framing and of the short chunks, and every 61st byte of the long one: flipped,
    // nothing is accepted; cut there, the payload is short.
    std::vector<size_t> positions;
    for (size_t at = 0; at < wire.size(); ++at) {
        bool long_chunk = at >= chunks[1].first + 4 && at < chunks[1].first + chunks[1].second;
        if (!long_chunk || at % 61 == 0 || at < chunks[1].first + 200 || at + 200 > chunks[2].first) positions.push_back(at);
    }
    for (size_t at : positions) {
        std::string flipped = wire;
        flipped[at] = static_cast<char>(flipped[at] ^ 0x20);
        ReceiveResult result = open_sealed(session, flipped);
        ASSERT_TRUE(result == tqr::RECEIVED_CORRUPT || result == tqr::RECEIVED_SHORT) << "byte " << at << ": " << result;
        ReceiveResult cut = open_sealed(session, wire.substr(0, at));
        ASSERT_EQ(cut, at == 0 ? tqr::RECEIVED_NOTHING : tqr::RECEIVED_SHORT) << "cut at " << at;
    }

    auto chunk = [&](size_t i) { return wire.substr(chunks[i].first, chunks[i].second); };
    std::string head = wire.substr(0, 24);
    // Replayed, reordered, left out, or taken from another transfer under the same keys.
    EXPECT_EQ(open_sealed(session, head + chunk(0) + chunk(1) + chunk(1) + chunk(2) + chunk(3)), tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(session, head + chunk(0) + chunk(2) + chunk(1) + chunk(3)), tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(session, head + chunk(0) + chunk(1) + chunk(3)), tqr::RECEIVED_CORRUPT);
    EXPECT_EQ(open_sealed(session, head + chunk(0) + chunk(1) + chunk(2)), tqr::RECEIVED_SHORT);
    std::string other = seal(session, payload);
    std::vector<std::pair<size_t, size_t>> other_chunks = chunks_of(other);
    EXPECT_EQ(open_sealed(session, head + chunk(0) + chunk(1) + chunk(2) +
                                       other.substr(other_chunks[3].first, other_chunks[3].second)),
              tqr::RECEIVED_CORRUPT);
    Session stranger;
    fill_session(&stranger, 3);
    EXPECT_EQ(open_sealed(stranger, wire), tqr::RECEIVED_CORRUPT);
    // A length beyond any chunk is refused before anything is read into it.
    std::string huge = head;
    huge += std::string("\x7F\xFF\xFF\xFF", 4);
    EXPECT_EQ(open_sealed(session, huge), tqr::RECEIVED_CORRUPT);
}

TEST(CryptoTest, SealedStreamOfUnknownLengthAndItsReceipt) {
    Session session;
    fill_session(&session, 4);
    for (size_t size : {size_t{0}, size_t{1}, size_t{200 * 1024 + 7}}) {
        std::string payload = random_text(size, 5);
        std::string end_message;
        std::string wire = seal(session, payload, true, &end_message);
        std::string got;
        tqr::PayloadHeader header;
        ASSERT_EQ(open_sealed(session, wire, &got, &header), tqr::RECEIVED_INTACT) << size;
        EXPECT_TRUE(got == payload) << size;
        EXPECT_FALSE(header.size_known);
        EXPECT_EQ(tqr::get_be(bytes_of(end_message), 8), size);
        // Without its end chunk a streamed payload is short, however much came before.
        std::vector<std::pair<size_t, size_t>> chunks = chunks_of(wire);
        EXPECT_EQ(open_sealed(session, wire.substr(0, chunks.back().first)), tqr::RECEIVED_SHORT) << size;
    }

    // The receipt: only the endstation of this session can make it, for this end message.
    std::string end_message;
    seal(session, "abc", false, &end_message);
    const unsigned char* end = bytes_of(end_message);
    Session stranger;
    fill_session(&stranger, 6);
    std::string other_end = end_message;
    other_end[0] ^= 1;
    struct Case {
        const Session* signer;
        bool intact;
        const unsigned char* end;
        int expected;
    } cases[] = {{&session, true, end, 1},
                 {&session, false, end, 0},
                 {&stranger, true, end, 0},
                 {&session, true, bytes_of(other_end), 0}};
    for (const Case& test : cases) {
        SocketPair pair;
        ASSERT_TRUE(tqr::send_receipt(pair.fd[1], *test.signer, test.intact, test.end));
        EXPECT_EQ(tqr::wait_receipt(pair.fd[0], session, end, 1000), test.expected);
    }
    SocketPair silent;
    EXPECT_EQ(tqr::wait_receipt(silent.fd[0], session, end, 10), -1);
}

// ---------------------------------------------------------------------------------------------------
// The tool, each party its own process.

// A scratch folder, removed with everything in it.
class TempDir {
public:
    TempDir() {
        char path[] = "/tmp/crypto_test_XXXXXX";
        m_path = mkdtemp(path);
    }
    ~TempDir() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::vector<std::string> names_in(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One run of the tool. Standard output and error go to files in `logs`; the child runs in `cwd`, with
// `extra_env` over this process's environment. Standard input is /dev/null, or with `piped` a pipe
// that the test writes with feed() and ends with end_input(). Killed if still running when it goes.
class Child {
public:
    Child(const std::vector<std::string>& args, const std::string& cwd, const std::string& logs,
          const std::vector<std::string>& extra_env = {}, bool piped = false) {
        static int serial = 0;
        std::string tag = (args.empty() ? std::string("tqr") : args[0]) + "." + std::to_string(++serial);
        m_out = logs + "/" + tag + ".out";
        m_err = logs + "/" + tag + ".err";

        // Everything the child needs is made before fork: only async-signal-safe calls after it.
        std::vector<std::string> argv_text{ZEL_TQR_PATH};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& text : argv_text) argv.push_back(&text[0]);
        argv.push_back(nullptr);
        std::vector<std::string> env_text;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            std::string setting = *entry;
            bool replaced = false;
            for (const std::string& extra : extra_env)
                replaced |= setting.compare(0, setting.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
            if (!replaced) env_text.push_back(setting);
        }
        env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
        std::vector<char*> envp;
        for (std::string& text : env_text) envp.push_back(&text[0]);
        envp.push_back(nullptr);
        int input[2] = {-1, -1};
        if (piped && pipe2(input, O_CLOEXEC) != 0) return;

        m_pid = fork();
        if (m_pid == 0) {
            int in = piped ? input[0] : open("/dev/null", O_RDONLY);
            int out = open(m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(126);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (piped) {
            close(input[0]);
            m_input = input[1];
        }
    }
    ~Child() {
        if (m_pid > 0 && !m_reaped) kill(m_pid, SIGKILL);
        if (m_feeder.joinable()) m_feeder.join();
        end_input();
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            reap(true);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Writes `bytes` to the child's standard input on a thread of its own (the child may read them
    // only much later), after what an earlier feed wrote; `last` then closes the input.
    void feed(std::string bytes, bool last) {
        if (m_feeder.joinable()) m_feeder.join();
        m_feeder = std::thread([this, bytes, last] {
            for (size_t at = 0; at < bytes.size() && m_input >= 0;) {
                ssize_t n = write(m_input, bytes.data() + at, bytes.size() - at);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
            if (last) end_input();
        });
    }

    // The exit status (128 + signal when killed by one), or -1 when it did not end within `limit`.
    int wait(milliseconds limit = kStepLimit) {
        zel_test::wait_until([&] { return reap(false); }, limit);
        return m_reaped ? m_status : -1;
    }
    bool running() { return !reap(false); }
    void signal(int number) {
        if (!m_reaped) kill(m_pid, number);
    }
    std::string out() const { return read_file(m_out); }
    std::string err() const { return read_file(m_err); }

private:
    void end_input() {
        if (m_input >= 0) close(m_input);
        m_input = -1;
    }
    bool reap(bool block) {
        if (m_reaped) return true;
        int status = 0;
        if (waitpid(m_pid, &status, block ? 0 : WNOHANG) != m_pid) return false;
        m_reaped = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = -1;
    int m_input = -1;
    std::thread m_feeder;
    std::string m_out;
    std::string m_err;
};

// A connected socket to 127.0.0.1:port, or -1.
int connect_to(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A listening socket on 127.0.0.1:port, or -1.
int listen_on(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Later reads and writes on `fd` give up after 20 seconds, so that nothing here waits for ever.
void bound(int fd) {
    timeval limit{20, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

// Accepts one connection within `limit`, or -1.
int accept_within(int listener, milliseconds limit) {
    if (!tqr::wait_readable(listener, static_cast<int>(limit.count()))) return -1;
    return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

// `tqr coordinator --quiet` on this test's coordinator port, ready once it accepts connections.
class Coordinator {
public:
    explicit Coordinator(const TempDir& dir) : m_child({"coordinator", "--quiet"}, dir.path(), dir.path()) {}
    bool ready() {
        return zel_test::wait_until(
            [&] {
                int fd = connect_to(zel_test::coordinator_port());
                if (fd < 0) return false;
                close(fd);
                return true;
            },
            kStepLimit);
    }
    int stop() {
        m_child.signal(SIGTERM);
        return m_child.wait();
    }

private:
    Child m_child;
};

TEST(CryptoTest, RoundTripsOfEdgeSizesFromFilesAndStreamsEncryptedAndPlain) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    const size_t sizes[] = {0, 1, 64 * 1024 - 1, 64 * 1024, 64 * 1024 + 1, 10 * 1024 * 1024};
    std::vector<std::string> key{"TQR_KEY=round trip"};
    int conference = 0;
    for (size_t size : sizes) {
        std::string payload = random_text(size, static_cast<unsigned>(size));
        write_file(dir / "payload.bin", payload);
        for (bool plain : {false, true}) {
            for (bool streamed : {false, true}) {
                std::string name = "c" + std::to_string(++conference);
                SCOPED_TRACE(std::to_string(size) + " bytes, " + (plain ? "plain, " : "encrypted, ") +
                             (streamed ? "standard input to standard output" : "file to file"));
                std::vector<std::string> send_args{"send", "--conference", name, "--count", "1"};
                std::vector<std::string> receive_args{"receive", "--conference", name, "--output"};
                if (plain) {
                    send_args.push_back("--plain");
                    receive_args.insert(receive_args.begin() + 1, "--plain");
                }
                send_args.push_back(streamed ? "-" : "payload.bin");
                receive_args.push_back(streamed ? "-" : name + ".got");
                Child sender(send_args, dir.path(), dir.path(), key, streamed);
                if (streamed) sender.feed(payload, true);
                fs::create_directory(dir / name);
                Child receiver(receive_args, dir / name, dir.path(), key);
                ASSERT_EQ(receiver.wait(), 0) << receiver.err();
                ASSERT_EQ(sender.wait(), 0) << sender.err();
                if (streamed) {
                    EXPECT_TRUE(receiver.out() == payload);
                    EXPECT_TRUE(names_in(dir / name).empty());
                } else {
                    EXPECT_TRUE(read_file(dir / (name + "/" + name + ".got")) == payload);
                    EXPECT_EQ(names_in(dir / name), std::vector<std::string>{name + ".got"});
                }
            }
        }
    }
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(CryptoTest, StandardInputStreamsThroughWhileItIsStillBeingWritten) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::vector<std::string> key{"TQR_KEY=stream"};
    std::string first = random_text(300 * 1024, 7), second = random_text(100 * 1024, 8);
    Child sender({"send", "--conference", "live", "--count", "1", "-"}, dir.path(), dir.path(), key, true);
    Child receiver({"receive", "--conference", "live", "--output", "-"}, dir.path(), dir.path(), key);
    sender.feed(first, false);
    // Standard input is still open: what came so far is on the receiver's standard output already.
    EXPECT_TRUE(zel_test::wait_until([&] { return receiver.out().size() >= 256 * 1024; }, kStepLimit))
        << receiver.out().size() << " bytes out";
    EXPECT_TRUE(receiver.running());
    sender.feed(second, true);
    ASSERT_EQ(receiver.wait(), 0) << receiver.err();
    EXPECT_TRUE(receiver.out() == first + second);
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(CryptoTest, GeneratedKeyIsShownOnceAndWorksHoweverItIsTyped) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string payload = random_text(50 * 1024, 9);
    write_file(dir / "file.bin", payload);
    auto key_of = [&](Child& sender) {
        std::string out;
        zel_test::wait_until(
            [&] {
                out = sender.out();
                return out.find("tqr receive") != std::string::npos;
            },
            kStepLimit);
        return find_key(out);
    };

    Child sender({"send", "--conference", "gen", "--count", "1", "file.bin"}, dir.path(), dir.path());
    std::string key = key_of(sender);
    ASSERT_FALSE(key.empty()) << sender.out();
    EXPECT_NE(sender.out().find("TQR_KEY=" + key + " tqr receive --conference gen\n"), std::string::npos)
        << sender.out();
    EXPECT_EQ(sender.err().find(key), std::string::npos);
    Child other({"send", "--conference", "gen2", "--count", "1", "file.bin"}, dir.path(), dir.path());
    std::string other_key = key_of(other);
    EXPECT_NE(other_key, key);

    // Another key of the same form is simply wrong.
    Child wrong({"receive", "--conference", "gen", "--output", "wrong"}, dir.path(), dir.path(),
                {"TQR_KEY=" + other_key});
    EXPECT_EQ(wrong.wait(), 4) << wrong.err();
    // As a person might type it: lower case, blanks for dashes.
    std::string typed = key;
    std::transform(typed.begin(), typed.end(), typed.begin(), [](char c) { return c == '-' ? ' ' : tolower(c); });
    Child right({"receive", "--conference", "gen", "--output", "right"}, dir.path(), dir.path(), {"TQR_KEY=" + typed});
    ASSERT_EQ(right.wait(), 0) << right.err();
    EXPECT_TRUE(read_file(dir / "right") == payload);
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    other.signal(SIGTERM);
    other.wait();
    EXPECT_EQ(coordinator.stop(), 0);
}

// A man in the middle of one endstation. The endstation is pointed at the relay as its coordinator; the
// relay passes the coordinator link on, but hands the endstation its own port in "Connect ", so that the
// direct link to the sender runs through it too. It learns the check key from the key frames, as anyone
// on the link can, and then, by `mode`, watches, damages or takes over the sender's side of the stream.
// Its thread is joined by join(); what it saw is read after that.
class Relay {
public:
    enum Mode { WATCH, FLIP, DROP_END, DROP_DATA, REPLAY, REORDER, CUT, IMPERSONATE };

    // The payload of the tests: the header chunk, 16 full data chunks, the end chunk.
    static constexpr size_t kPayloadBytes = 16 * 64 * 1024;

    Relay(Mode mode, const std::string& conference) : m_mode(mode), m_conference(conference) {}
    ~Relay() { join(); }

    // The receiver's settings that point it at the relay.
    std::vector<std::string> env() const {
        return {"TQR_COORDINATOR_PORT=" + std::to_string(zel_test::port(0)),
                "TQR_TOP_PORT=" + std::to_string(zel_test::port(0) + 20)};
    }

    bool start() {
        m_front = listen_on(zel_test::port(0));
        m_direct = listen_on(zel_test::port(1));
        if (m_front < 0 || m_direct < 0) return false;
        m_thread = std::thread([this] { run(); });
        return true;
    }
    void join() {
        if (m_thread.joinable()) m_thread.join();
        for (int* fd : {&m_front, &m_direct}) {
            if (*fd >= 0) close(*fd);
            *fd = -1;
        }
    }

    std::string seen() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_seen;
    }
    const std::string& learned_key() const { return m_learned_key; }
    bool linked() const { return m_linked; }
    ConfirmResult toward_sender() const { return m_toward_sender; }
    ConfirmResult toward_receiver() const { return m_toward_receiver; }

private:
    void record(const char* data, size_t size) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_seen.append(data, size);
    }

    // The coordinator link, frame by frame (NUL-terminated texts), with the port of "Connect " swapped
    // for the relay's and back in "Connected ".
    std::string rewrite(const std::string& frame, bool to_receiver) {
        size_t blank = frame.find_last_of(' ');
        if (to_receiver && frame.compare(0, 8, "Connect ") == 0 && blank != std::string::npos) {
            m_sender_port = atoi(frame.c_str() + blank + 1);
            return frame.substr(0, blank + 1) + std::to_string(zel_test::port(1));
        }
        if (!to_receiver && frame.compare(0, 10, "Connected ") == 0 && blank != std::string::npos)
            return frame.substr(0, blank + 1) + std::to_string(m_sender_port);
        return frame;
    }

    bool pass_frames(int from, int to, std::string* pending, bool to_receiver) {
        char buffer[4096];
        ssize_t n = recv(from, buffer, sizeof buffer, 0);
        if (n <= 0) return false;
        record(buffer, static_cast<size_t>(n));
        pending->append(buffer, static_cast<size_t>(n));
        size_t nul;
        while ((nul = pending->find('\0')) != std::string::npos) {
            std::string frame = rewrite(pending->substr(0, nul), to_receiver);
            pending->erase(0, nul + 1);
            frame.push_back('\0');
            if (!tqr::send_all(to, frame.data(), frame.size())) return false;
        }
        return true;
    }

    void run() {
        auto until = std::chrono::steady_clock::now() + kStepLimit;
        int receiver = accept_within(m_front, kStepLimit);
        int coordinator = receiver < 0 ? -1 : connect_to(zel_test::coordinator_port());
        std::string from_receiver, from_coordinator;
        std::thread direct;
        while (receiver >= 0 && coordinator >= 0 && std::chrono::steady_clock::now() < until) {
            pollfd ready[3] = {{receiver, POLLIN, 0}, {coordinator, POLLIN, 0}, {m_direct, POLLIN, 0}};
            if (poll(ready, direct.joinable() ? 2 : 3, 100) <= 0) continue;
            if (ready[0].revents && !pass_frames(receiver, coordinator, &from_receiver, false)) break;
            if (ready[1].revents && !pass_frames(coordinator, receiver, &from_coordinator, true)) break;
            if (!direct.joinable() && ready[2].revents) {
                int endstation = accept4(m_direct, nullptr, nullptr, SOCK_CLOEXEC);
                int sender = connect_to(m_sender_port);
                if (endstation >= 0 && sender >= 0) {
                    m_linked = true;
                    direct = std::thread([this, endstation, sender] { link(endstation, sender); });
                }
            }
        }
        if (direct.joinable()) direct.join();
        for (int fd : {receiver, coordinator})
            if (fd >= 0) close(fd);
    }

    // One key frame, up to and with its NUL.
    std::string key_frame(int fd) {
        std::string frame;
        char byte;
        while (frame.size() < 1000 && recv(fd, &byte, 1, 0) == 1) {
            frame.push_back(byte);
            if (byte == '\0') break;
        }
        record(frame.data(), frame.size());
        return frame;
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

    // Exactly `size` bytes from `fd` (fewer when it ended), recorded.
    std::string take(int fd, size_t size) {
        std::string bytes(size, '\0');
        bytes.resize(tqr::recv_all(fd, &bytes[0], size));
        record(bytes.data(), bytes.size());
        return bytes;
    }

    void link(int endstation, int sender) {
        for (int fd : {endstation, sender}) bound(fd);
        std::string sender_frame = key_frame(sender);
        std::string endstation_frame = key_frame(endstation);
        // The sender shows the even characters, the endstation the odd ones: together, all of them.
        for (size_t i = 0; i + 1 < std::min(sender_frame.size(), endstation_frame.size()); ++i)
            m_learned_key.push_back(i % 2 == 0 ? sender_frame[i] : endstation_frame[i]);
        tqr::send_all(endstation, sender_frame.data(), sender_frame.size());
        tqr::send_all(sender, endstation_frame.data(), endstation_frame.size());

        if (m_mode == IMPERSONATE) {
            // Its best guess at K is the key it learned: it runs the real exchange with that on both sides.
            LinkKeys guess(m_learned_key, m_conference);
            Session toward_sender, toward_receiver;
            std::thread other([&] { m_toward_sender = tqr::confirm_link(sender, false, guess, &toward_sender); });
            m_toward_receiver = tqr::confirm_link(endstation, true, guess, &toward_receiver);
            other.join();
        } else if (m_mode == WATCH) {
            std::thread back([&] { pump(endstation, sender); });
            pump(sender, endstation);
            back.join();
        } else {
            std::thread back([&] { pump(endstation, sender); });
            tamper(sender, endstation);
            back.join();
        }
        close(endstation);
        close(sender);
    }

    // Sender to endstation: hello, confirm and stream header pass; then the chunks, one of them damaged.
    void tamper(int sender, int endstation) {
        // One at a time: each side sends its MAC only once it has the other's hello.
        for (size_t size : {41, 32, 24}) {
            std::string part = take(sender, size);
            if (part.size() < size || !tqr::send_all(endstation, part.data(), part.size())) return;
        }
        std::string held;
        for (size_t index = 0;; ++index) {
            std::string chunk = take(sender, 4);
            if (chunk.size() < 4) break;
            chunk += take(sender, static_cast<size_t>(tqr::get_be(bytes_of(chunk), 4)));
            std::string out = chunk;
            bool cut = false;
            if (m_mode == FLIP && index == 3) out[chunk.size() / 2] = static_cast<char>(out[chunk.size() / 2] ^ 1);
            if (m_mode == DROP_DATA && index == 16) out.clear();
            if (m_mode == DROP_END && index == 17) out.clear(), cut = true;
            if (m_mode == REPLAY && index == 5) out += chunk;
            if (m_mode == REORDER && index == 5) held = chunk, out.clear();
            if (m_mode == REORDER && index == 6) out += held;
            if (m_mode == CUT && index == 9) out.resize(chunk.size() / 2), cut = true;
            if (!tqr::send_all(endstation, out.data(), out.size())) break;
            if (cut) break;
        }
        shutdown(endstation, SHUT_WR);
        // The sender's side ends once the endstation has answered (the other thread passes that on).
        char drain[65536];
        while (recv(sender, drain, sizeof drain, 0) > 0) {
        }
    }

    Mode m_mode;
    std::string m_conference;
    int m_front = -1;
    int m_direct = -1;
    int m_sender_port = 0;  // written and read by the relay's own thread before the direct link starts
    std::thread m_thread;
    std::atomic<bool> m_linked{false};
    std::mutex m_mutex;
    std::string m_seen;         // everything that passed, both links, both ways; guarded by m_mutex
    std::string m_learned_key;  // written by the direct link's thread, read after join()
    ConfirmResult m_toward_sender = tqr::CONFIRM_ENDED;
    ConfirmResult m_toward_receiver = tqr::CONFIRM_ENDED;
};

constexpr size_t Relay::kPayloadBytes;

// Receives through a relay of `mode` into `folder`; the receiver's exit status.
int receive_through(Relay& relay, const std::string& conference, const std::string& key, const std::string& folder,
                    const TempDir& logs, const std::vector<std::string>& more = {}, std::string* err = nullptr) {
    if (!relay.start()) return -2;
    std::vector<std::string> args{"receive", "--conference", conference};
    args.insert(args.end(), more.begin(), more.end());
    std::vector<std::string> env = relay.env();
    env.push_back("TQR_KEY=" + key);
    fs::create_directories(folder);
    Child receiver(args, folder, logs.path(), env);
    int status = receiver.wait();
    relay.join();
    if (err) *err = receiver.err();
    return status;
}

// Whether any of 64 pieces of `payload`, 32 bytes each, appears in `seen`.
bool shows_payload(const std::string& seen, const std::string& payload) {
    for (size_t i = 0; i < 64; ++i)
        if (seen.find(payload.substr(i * (payload.size() / 64), 32)) != std::string::npos) return true;
    return false;
}

TEST(CryptoTest, RelaySeesTheKeyCheckButNeitherTheKeyNorThePayload) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string payload = random_text(Relay::kPayloadBytes, 10);
    write_file(dir / "secret-plans.bin", payload);
    const std::string key = "correct horse battery staple";

    for (bool plain : {false, true}) {
        SCOPED_TRACE(plain ? "plain" : "encrypted");
        std::string conference = plain ? "watched-plain" : "watched";
        std::vector<std::string> mode;
        if (plain) mode.push_back("--plain");
        std::vector<std::string> send_args{"send", "--conference", conference, "--count", "1", "secret-plans.bin"};
        send_args.insert(send_args.begin() + 1, mode.begin(), mode.end());
        Child sender(send_args, dir.path(), dir.path(), {"TQR_KEY=" + key});
        Relay relay(Relay::WATCH, conference);
        std::string folder = dir / conference;
        ASSERT_EQ(receive_through(relay, conference, key, folder, dir, mode), 0);
        ASSERT_TRUE(relay.linked());
        // Through the relay, the payload arrived intact all the same.
        EXPECT_TRUE(read_file(folder + "/secret-plans.bin") == payload);
        EXPECT_EQ(sender.wait(), 0) << sender.err();

        std::string seen = relay.seen();
        if (plain) {
            // What the relay sees without this layer: the key (from the key check), the payload, its name.
            EXPECT_EQ(relay.learned_key(), key);
            EXPECT_TRUE(shows_payload(seen, payload));
            EXPECT_NE(seen.find("secret-plans.bin"), std::string::npos);
            continue;
        }
        LinkKeys keys(key, conference);
        // The key check gave it the whole check key, and nothing else: not K, not a byte of the payload,
        // not its name, not the transfer secret.
        EXPECT_EQ(relay.learned_key(), keys.check_key());
        EXPECT_EQ(seen.find(key), std::string::npos);
        EXPECT_EQ(seen.find("correct"), std::string::npos);
        EXPECT_FALSE(shows_payload(seen, payload));
        EXPECT_EQ(seen.find("secret-plans"), std::string::npos);
        EXPECT_EQ(seen.find(std::string(reinterpret_cast<const char*>(keys.transfer_secret()), 32)), std::string::npos);
        EXPECT_GT(seen.size(), payload.size());
    }
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(CryptoTest, RelayThatChangesDropsReplaysOrReordersChunksEndsTheReceiverWithFiveAndNoFile) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string payload = random_text(Relay::kPayloadBytes, 11);
    write_file(dir / "payload.bin", payload);
    // One sender for all: a damaged transfer does not count against --count 1.
    Child sender({"send", "--conference", "damaged", "--count", "1", "payload.bin"}, dir.path(), dir.path(),
                 {"TQR_KEY=k"});
    struct Case {
        Relay::Mode mode;
        const char* name;
    } cases[] = {{Relay::FLIP, "flip"},       {Relay::DROP_END, "drop-end"}, {Relay::DROP_DATA, "drop-data"},
                 {Relay::REPLAY, "replay"},   {Relay::REORDER, "reorder"},   {Relay::CUT, "cut"}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Relay relay(test.mode, "damaged");
        std::string err;
        EXPECT_EQ(receive_through(relay, "damaged", "k", dir / test.name, dir, {}, &err), 5) << err;
        EXPECT_TRUE(relay.linked());
        EXPECT_TRUE(names_in(dir / test.name).empty());
        ASSERT_TRUE(sender.running()) << sender.err();
    }
    // Standard output: what was verified went out, the rest did not, and the status tells.
    {
        Relay relay(Relay::DROP_END, "damaged");
        ASSERT_TRUE(relay.start());
        std::vector<std::string> env = relay.env();
        env.push_back("TQR_KEY=k");
        Child receiver({"receive", "--conference", "damaged", "--output", "-"}, dir.path(), dir.path(), env);
        EXPECT_EQ(receiver.wait(), 5) << receiver.err();
        relay.join();
        EXPECT_TRUE(receiver.out() == payload);
        EXPECT_NE(receiver.err().find("standard output got an incomplete payload"), std::string::npos) << receiver.err();
    }

    fs::create_directory(dir / "direct");
    Child direct({"receive", "--conference", "damaged"}, dir / "direct", dir.path(), {"TQR_KEY=k"});
    ASSERT_EQ(direct.wait(), 0) << direct.err();
    EXPECT_TRUE(read_file(dir / "direct/payload.bin") == payload);
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

TEST(CryptoTest, RelayWithItsOwnKeysFailsTheConfirmationOnBothSides) {
    TempDir dir;
    Coordinator coordinator(dir);
    ASSERT_TRUE(coordinator.ready());
    std::string payload = random_text(100 * 1024, 12);
    write_file(dir / "payload.bin", payload);
    Child sender({"send", "--conference", "taken", "--count", "1", "payload.bin"}, dir.path(), dir.path(),
                 {"TQR_KEY=k"});

    Relay relay(Relay::IMPERSONATE, "taken");
    std::string err;
    EXPECT_EQ(receive_through(relay, "taken", "k", dir / "victim", dir, {}, &err), 4);
    EXPECT_NE(err.find("the key is wrong"), std::string::npos) << err;
    EXPECT_TRUE(names_in(dir / "victim").empty());
    // The relay knew the check key, which passed the library's key check on both sides, and ran the
    // exchange with its own X25519 keys: neither side accepted it, nor did it accept either side.
    EXPECT_EQ(relay.learned_key(), LinkKeys("k", "taken").check_key());
    EXPECT_EQ(relay.toward_sender(), tqr::CONFIRM_MISMATCH);
    EXPECT_EQ(relay.toward_receiver(), tqr::CONFIRM_MISMATCH);
    EXPECT_FALSE(shows_payload(relay.seen(), payload));

    // The sender said so, and serves the next endstation.
    EXPECT_TRUE(zel_test::wait_until(
        [&] { return sender.err().find("failed the key confirmation") != std::string::npos; }, kStepLimit))
        << sender.err();
    ASSERT_TRUE(sender.running());
    fs::create_directory(dir / "direct");
    Child direct({"receive", "--conference", "taken"}, dir / "direct", dir.path(), {"TQR_KEY=k"});
    ASSERT_EQ(direct.wait(), 0) << direct.err();
    EXPECT_TRUE(read_file(dir / "direct/payload.bin") == payload);
    EXPECT_EQ(sender.wait(), 0) << sender.err();
    EXPECT_EQ(coordinator.stop(), 0);
}

}  // namespace
