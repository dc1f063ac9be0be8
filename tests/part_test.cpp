// The part file of a transfer that can be continued: what it takes for a part to be continued, and
// what makes a receiver start afresh or refuse; and the free space a receiver leaves.
#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <tuple>

#include "harness.h"
#include "transfer/part_file.h"

using namespace harness;

namespace {

tqr::PayloadHeader offer_of(const std::string& content, const std::string& name = "data.bin") {
    tqr::PayloadHeader header;
    header.name = name;
    header.size = content.size();
    crypto_generichash(header.identity, sizeof header.identity, reinterpret_cast<const unsigned char*>(content.data()),
                       content.size(), nullptr, 0);
    return header;
}

// Receives `content` into the part at `path` from where the part ends, stopping after `stop` bytes;
// the bytes kept before it started, or -1.
int64_t receive(const std::string& path, const std::string& content, const tqr::PayloadHeader& offer, size_t stop,
                bool fresh = false, std::string* error = nullptr) {
    tqr::PartFile part;
    std::string ignored;
    bool dropped = false;
    if (!part.open(path, fresh, error ? error : &ignored)) return -1;
    int64_t kept = part.adopt(offer, &dropped);
    for (size_t at = static_cast<size_t>(kept); at < std::min(stop, content.size()); at += 1000) {
        size_t n = std::min<size_t>(1000, std::min(stop, content.size()) - at);
        if (!part.append(reinterpret_cast<const unsigned char*>(content.data() + at), n)) return -1;
    }
    if (stop >= content.size() && !part.finish()) return -1;
    return kept;
}

TEST(PartTest, APartContinuesOnlyTheFileItBelongsTo) {
    tqr::ensure_sodium();
    TempDir dir;
    const std::string path = dir / "data.bin.tqr-part";
    const std::string content = random_bytes(100000, 1);
    // Cut off at 40,000 bytes, then continued: the whole file, the record gone.
    EXPECT_EQ(receive(path, content, offer_of(content), 40000), 0);
    EXPECT_EQ(receive(path, content, offer_of(content), content.size()), 40000);
    EXPECT_TRUE(read_file(path) == content);

    struct Case {
        const char* what;
        tqr::PayloadHeader offer;
        int64_t kept;
    };
    std::string changed = content;
    changed[70000] ^= 1;
    const Case cases[] = {
        {"another name", offer_of(content, "other.bin"), 0},
        {"another size", offer_of(content.substr(1)), 0},
        {"another identity", offer_of(changed), 0},
        {"the same file", offer_of(content), 30000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        unlink(path.c_str());
        ASSERT_EQ(receive(path, content, offer_of(content), 30000), 0);
        EXPECT_EQ(receive(path, content, c.offer, 30000), c.kept);
    }

    // What the sender compares with the same range of its file is the hash of the bytes kept, as they
    // are on disk; told that they differ, the part starts over from 0.
    unlink(path.c_str());
    ASSERT_EQ(receive(path, changed, offer_of(content), 80000), 0);
    tqr::PartFile part;
    std::string error;
    bool dropped = false;
    ASSERT_TRUE(part.open(path, false, &error)) << error;
    ASSERT_EQ(part.adopt(offer_of(content), &dropped), 80000);
    unsigned char kept[32], sent[32];
    crypto_generichash(kept, sizeof kept, reinterpret_cast<const unsigned char*>(changed.data()), 80000, nullptr, 0);
    crypto_generichash(sent, sizeof sent, reinterpret_cast<const unsigned char*>(content.data()), 80000, nullptr, 0);
    EXPECT_EQ(memcmp(part.kept_hash(), kept, sizeof kept), 0);
    EXPECT_NE(memcmp(part.kept_hash(), sent, sizeof sent), 0);
    ASSERT_TRUE(part.restart());
    ASSERT_TRUE(part.append(reinterpret_cast<const unsigned char*>(content.data()), content.size()));
    ASSERT_TRUE(part.finish());
    EXPECT_TRUE(read_file(path) == content);
    part.close();

    // A piece whose write is cut short (the kernel ends a killed receiver's write between pages; here
    // its second page cannot be read) leaves the part continued from before that piece.
    unlink(path.c_str());
    ASSERT_EQ(receive(path, content, offer_of(content), 30000), 0);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    memcpy(pages, content.data() + 30000, page);
    ASSERT_EQ(mprotect(static_cast<char*>(pages) + page, page, PROT_NONE), 0);
    tqr::PartFile cut;
    ASSERT_TRUE(cut.open(path, false, &error)) << error;
    ASSERT_EQ(cut.adopt(offer_of(content), &dropped), 30000);
    EXPECT_FALSE(cut.append(static_cast<unsigned char*>(pages), 2 * page));
    cut.close();
    munmap(pages, 2 * page);
    EXPECT_GT(read_file(path).size(), 30000 + page);  // the piece's first page went in
    EXPECT_EQ(receive(path, content, offer_of(content), content.size(), false, &error), 30000) << error;
    EXPECT_TRUE(read_file(path) == content);
}

TEST(PartTest, OneReceiverAtATimeHoldsAPart) {
    TempDir dir;
    tqr::PartFile first, second;
    std::string error;
    ASSERT_TRUE(first.open(dir / "x.tqr-part", false, &error)) << error;
    EXPECT_FALSE(second.open(dir / "x.tqr-part", true, &error));
    EXPECT_NE(error.find("another tqr receive"), std::string::npos);
    first.remove();
    EXPECT_TRUE(second.open(dir / "x.tqr-part", false, &error)) << error;

    // A finished part has its final mode until it is renamed, and is still the first receiver's: a
    // second one with a fresh start must not take it for a stranger's part and remove it.
    tqr::PartFile finished, forced;
    ASSERT_TRUE(finished.open(dir / "y.tqr-part", false, &error)) << error;
    bool dropped = false;
    ASSERT_EQ(finished.adopt(offer_of("done", "y"), &dropped), 0);
    ASSERT_TRUE(finished.append(reinterpret_cast<const unsigned char*>("done"), 4));
    ASSERT_TRUE(finished.finish());
    std::string removed;
    EXPECT_FALSE(forced.open(dir / "y.tqr-part", true, &error, &removed));
    EXPECT_NE(error.find("another tqr receive"), std::string::npos) << error;
    EXPECT_TRUE(removed.empty()) << removed;
    EXPECT_TRUE(finished.still_named());
}

// A part is continued only when it is the receiver's own private file with one name and a record:
// anything else is left alone, or with a fresh start removed, and the new part is the receiver's.
TEST(PartTest, OnlyTheReceiversOwnPrivatePartIsContinued) {
    tqr::ensure_sodium();
    TempDir dir;
    const std::string path = dir / "data.bin.tqr-part", content = random_bytes(50000, 4);
    struct Case {
        const char* what;
        std::function<void()> spoil;  // on a part that holds 30,000 bytes of `content`
        std::string says;             // "": continued
        bool root;                    // needs a second user
    };
    const Case cases[] = {
        {"its own", [] {}, "", false},
        {"readable by its group", [&] { chmod(path.c_str(), 0640); }, "by others (mode 0640)", false},
        {"a second name", [&] { link(path.c_str(), (dir / "other").c_str()); }, "has 2 names", false},
        {"no record", [&] { truncate(path.c_str(), 30005); }, "no record", false},
        {"a link to a good part",
         [&] { rename(path.c_str(), (dir / "good").c_str()), symlink("good", path.c_str()); }, "symbolic link", false},
        {"a fifo", [&] { unlink(path.c_str()), mkfifo(path.c_str(), 0600); }, "not a regular file", false},
        {"planted, empty and open to all",
         [&] { truncate(path.c_str(), 0), chown(path.c_str(), 65534, 65534), chmod(path.c_str(), 0666); },
         "another user (uid 65534)", true},
        {"another user's, private", [&] { chown(path.c_str(), 65534, 65534); }, "another user (uid 65534)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The rows of a second user come last.
        if (c.root && geteuid() != 0) GTEST_SKIP() << "a part of another user (uid 65534) needs the tests to run as root";
        run("rm -rf " + quote(dir.path()) + "/*");
        ASSERT_EQ(receive(path, content, offer_of(content), 30000), 0);
        c.spoil();
        struct stat was {}, is {};
        lstat(path.c_str(), &was);
        std::string error;
        EXPECT_EQ(receive(path, content, offer_of(content), 30000, false, &error), c.says.empty() ? 30000 : -1);
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        if (c.says.empty()) continue;
        lstat(path.c_str(), &is);
        EXPECT_TRUE(was.st_ino == is.st_ino && was.st_mode == is.st_mode && was.st_uid == is.st_uid);  // left alone
        EXPECT_EQ(receive(path, content, offer_of(content), content.size(), true), 0);
        lstat(path.c_str(), &is);
        EXPECT_EQ(is.st_uid, geteuid());
        EXPECT_EQ(is.st_nlink, 1u);
        EXPECT_TRUE(read_file(path) == content);
    }
}

TEST(PartTest, AReceiverLeavesTheMarginFree) {
    const uint64_t MiB = 1 << 20, GiB = MiB << 10, margin = GiB / 100;  // of 1 GiB; 64 MiB at most
    EXPECT_EQ(tqr::space_margin(1000 * GiB), 64 * MiB);
    const std::tuple<uint64_t, uint64_t, uint64_t, bool> cases[] = {// need, free, file system: fits
        {100 * MiB - margin, 100 * MiB, GiB, true}, {100 * MiB - margin + 1, 100 * MiB, GiB, false},
        {0, margin - 1, GiB, false}, {936 * GiB, 1000 * GiB, 2000 * GiB, true}};
    for (auto [need, free, size, fits] : cases) EXPECT_EQ(tqr::space_fits(need, {free, size}), fits) << need;
}

}  // namespace

// A part's name beside a final name that leaves no room for its suffix: cut at a character, marked
// with the whole name's hash, the same for the same name and apart for names that differ only late.
TEST(PartTest, APartNameFitsBesideTheLongestFinalName) {
    std::string ascii(255, 'x'), cyrillic;
    for (int i = 0; i < 127; ++i) cyrillic += "\xd0\x96";  // Ж, two bytes
    cyrillic += "y";
    EXPECT_EQ(tqr::beside("in/report.pdf", "", ".tqr-part"), "in/report.pdf.tqr-part");
    EXPECT_EQ(tqr::beside("report.pdf", ".", ".t"), ".report.pdf.t");
    const std::string raw = "a" + std::string(244, '\x80') + std::string(10, '\xff');  // not UTF-8
    for (const std::string& name : {ascii, cyrillic, raw}) {
        std::string part = tqr::beside("in/" + name, "", ".tqr-part");
        std::string own = part.substr(3);
        EXPECT_TRUE(own.size() <= 255 && own.size() >= 250) << own;
        EXPECT_EQ(own.substr(own.size() - 9), ".tqr-part");
        EXPECT_EQ(own.compare(0, 3, name, 0, 3), 0);
        EXPECT_NE(static_cast<unsigned char>(own[own.find('~') - 1]), 0xd0u);  // no character cut in two
        EXPECT_EQ(part, tqr::beside("in/" + name, "", ".tqr-part"));
        std::string other = name;
        other.back() = 'z';
        EXPECT_NE(part, tqr::beside("in/" + other, "", ".tqr-part"));
    }
}
