// The part file of a transfer that can be continued: what it takes for a part to be continued, and
// what makes a receiver start afresh or refuse.
#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include "harness.h"
#include "tools/tqr/part_file.h"

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
                bool* mismatch = nullptr) {
    tqr::PartFile part;
    std::string error;
    bool dropped = false;
    if (!part.open(path, &error)) return -1;
    int64_t kept = part.adopt(offer, &dropped);
    for (size_t at = static_cast<size_t>(kept); at < std::min(stop, content.size()); at += 1000) {
        size_t n = std::min<size_t>(1000, std::min(stop, content.size()) - at);
        if (!part.append(reinterpret_cast<const unsigned char*>(content.data() + at), n)) return -1;
    }
    bool differs = false;
    if (stop >= content.size() && !part.finish(&differs) && mismatch) *mismatch = differs;
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
    // A part without its record (a process killed between two writes) starts afresh.
    unlink(path.c_str());
    ASSERT_EQ(receive(path, content, offer_of(content), 30000), 0);
    ASSERT_EQ(truncate(path.c_str(), 30005), 0);
    EXPECT_EQ(receive(path, content, offer_of(content), 30000), 0);

    // Kept bytes that no longer match what the sender hashed: the whole file does not verify.
    unlink(path.c_str());
    ASSERT_EQ(receive(path, changed, offer_of(content), 80000), 0);
    bool mismatch = false;
    EXPECT_EQ(receive(path, content, offer_of(content), content.size(), &mismatch), 80000);
    EXPECT_TRUE(mismatch);
}

TEST(PartTest, OneReceiverAtATimeHoldsAPart) {
    TempDir dir;
    tqr::PartFile first, second;
    std::string error;
    ASSERT_TRUE(first.open(dir / "x.tqr-part", &error)) << error;
    EXPECT_FALSE(second.open(dir / "x.tqr-part", &error));
    EXPECT_NE(error.find("another tqr receive"), std::string::npos);
    first.remove();
    EXPECT_TRUE(second.open(dir / "x.tqr-part", &error)) << error;
}

}  // namespace
