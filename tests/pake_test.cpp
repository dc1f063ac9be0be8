// The short code (code/words.h) and the CPace run that makes it safe (code/pake.h). Beyond the
// published CPACE-RISTRETTO255-SHA512 vectors, the tag, KDF and nameplate key values come from Python's
// hashlib and hmac: the same compositions computed by other code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include <sodium.h>

#include "protocol/messages.h"
#include "cli/escape.h"
#include "code/pake.h"
#include "transfer/secure.h"
#include "code/words.h"

namespace {

using namespace tqr;

std::string unhex(const char* hex) {
    std::string out(strlen(hex) / 2, '\0');
    sodium_hex2bin(reinterpret_cast<unsigned char*>(&out[0]), out.size(), hex, strlen(hex), nullptr, nullptr, nullptr);
    return out;
}
const unsigned char* raw(const std::string& data) { return reinterpret_cast<const unsigned char*>(data.data()); }
std::string hex(const unsigned char* data, size_t size) {
    std::string out(size * 2 + 1, '\0');
    sodium_bin2hex(&out[0], out.size(), data, size);
    out.pop_back();
    return out;
}
std::string hex(const std::string& data) { return hex(raw(data), data.size()); }

const std::string kCi = unhex("0b415f696e69746961746f720b425f726573706f6e646572");
const std::string kSid = unhex("7e4b4791d6a8ef019b936c79fb7f2c57");
const std::string kScalarA = unhex("da3d23700a9e5699258aef94dc060dfda5ebb61f02a5ea77fad53f4ff0976d08");
const std::string kScalarB = unhex("d2316b454718c35362d83d69df6320f38578ed5984651435e2949762d900b80d");
const char kShareA[] = "d6bac480f2c386c394efc7c47adb9925dcd2630b64f240c50f8d0eec482b9157";
const char kShareB[] = "3ea7e0b19560d7c0b0f5734f63b955286dfa8232b5ebe63324e2d9e7433f7258";
const char kIsk[] =
    "b69effbf61b51d56401c0f65601abe428de8206feaaf0e32198896dcae7b35cd2b38950a39dfd5d4a79164614c2984f7daa4"
    "60b588c1e80c3fa2068af7900447";

// The rest of the composition shows in the vector run below: its shares, transcript and ISK.
TEST(Cpace, LengthPrefixesMatchTheVectors) {
    EXPECT_EQ(hex(prepend_len("")), "00");
    EXPECT_EQ(hex(prepend_len("1234")), "0431323334");
    EXPECT_EQ(prepend_len(std::string(127, 'x')), unhex("7f") + std::string(127, 'x'));
    EXPECT_EQ(prepend_len(std::string(128, 'x')), unhex("8001") + std::string(128, 'x'));
    EXPECT_EQ(hex(lv_cat({"1234", "5", "", "678"})), "043132333401350003363738");

}

TEST(Cpace, BothSidesOfTheVectorRunAgreeAndConfirm) {
    CpaceSession a(true, "Password", kCi, kSid, raw(kScalarA));
    CpaceSession b(false, "Password", kCi, kSid, raw(kScalarB));
    EXPECT_EQ(hex(a.share(), kPakeShareBytes), kShareA);
    EXPECT_EQ(hex(b.share(), kPakeShareBytes), kShareB);
    ASSERT_TRUE(a.finish(b.share(), "ADa", "ADb"));
    ASSERT_TRUE(b.finish(a.share(), "ADb", "ADa"));
    EXPECT_EQ(hex(a.isk(), kPakeIskBytes), kIsk) << "initiator";
    EXPECT_EQ(hex(b.isk(), kPakeIskBytes), kIsk) << "responder";
    EXPECT_EQ(hex(a.own_tag(), kPakeTagBytes),
              "30478d28d83ae3b214295e91f4a3eb62999a8ed94575075db4a7d3bc3e4d26f16c51adba12dc7771372637a46b5134e0"
              "937cddd7d820bfdd83be335e339eb57a");

    unsigned char key_a[32], key_b[32], other[32];
    EXPECT_FALSE(a.derive("tqr stream 1", key_a, sizeof key_a));  // not before confirmation
    ASSERT_TRUE(a.confirm(b.own_tag()));
    ASSERT_TRUE(b.confirm(a.own_tag()));
    ASSERT_TRUE(a.derive("tqr stream 1", key_a, sizeof key_a));
    ASSERT_TRUE(b.derive("tqr stream 1", key_b, sizeof key_b));
    ASSERT_TRUE(b.derive("tqr receipt 1", other, sizeof other));
    EXPECT_EQ(hex(key_a, 32), "1fd9712328354bc7edb569da67351b88bea5054d9da99609ca0d3e28024b36ab");
    EXPECT_EQ(hex(key_b, 32), hex(key_a, 32));
    EXPECT_NE(hex(other, 32), hex(key_a, 32));
    EXPECT_FALSE(a.derive("a label far too long", key_a, sizeof key_a) || a.derive("tqr stream 1", key_a, 8));
    EXPECT_FALSE(a.finish(b.share(), "ADa", "ADb"));  // one run per session
}

// Random scalars from here on; `damage` names what goes wrong between the two sessions.
enum Damage { NONE, OTHER_PASSWORD, SHARE_BYTE, TAG_BYTE, OTHER_AD };

TEST(Cpace, ADamagedRunNeverConfirms) {
    for (Damage damage : {NONE, OTHER_PASSWORD, SHARE_BYTE, TAG_BYTE, OTHER_AD}) {
        const std::string ci = channel_identifier("tqr-code-7"), words = "guitar-ocean-tulip";
        CpaceSession a(true, words, ci, "nonces");
        CpaceSession b(false, damage == OTHER_PASSWORD ? "guitar-ocean-tuna" : words, ci, "nonces");
        std::string share_b(reinterpret_cast<const char*>(b.share()), kPakeShareBytes);
        if (damage == SHARE_BYTE) share_b[5] = static_cast<char>(share_b[5] ^ 0x01);
        bool finished = a.finish(raw(share_b), "sender", damage == OTHER_AD ? "endstatioN" : "endstation");
        ASSERT_TRUE(b.finish(a.share(), "endstation", "sender"));
        std::string tag_b(reinterpret_cast<const char*>(b.own_tag()), kPakeTagBytes);
        if (damage == TAG_BYTE) tag_b[kPakeTagBytes - 1] = static_cast<char>(tag_b[kPakeTagBytes - 1] ^ 0x80);
        EXPECT_EQ(finished && a.confirm(raw(tag_b)), damage == NONE) << damage;
        EXPECT_EQ(b.confirm(a.own_tag()), damage == NONE || damage == TAG_BYTE) << damage;
        EXPECT_FALSE(damage == TAG_BYTE && a.confirm(b.own_tag())) << "a second guess after a wrong tag";
    }
}

TEST(Cpace, RefusesSharesThatAreNoUsableElement) {
    const std::string refused[] = {
        std::string(32, '\0'),                                                       // the identity
        unhex("edffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff7f"),  // p: not canonical
        unhex("0100000000000000000000000000000000000000000000000000000000000000"),  // a negative element
        std::string(32, '\xff'),
    };
    for (const std::string& share : refused) {
        CpaceSession a(true, "guitar-ocean-tulip", "ci", "sid");
        EXPECT_FALSE(a.finish(raw(share), "x", "y")) << hex(share);
        EXPECT_FALSE(a.confirm(a.own_tag()));
    }
    CpaceSession echoed(true, "guitar-ocean-tulip", "ci", "sid");
    EXPECT_FALSE(echoed.finish(echoed.share(), "x", "x"));
    CpaceSession no_share(true, "guitar-ocean-tulip", "ci", "sid", raw(std::string(kPakeScalarBytes, '\0')));
    EXPECT_EQ(hex(no_share.share(), kPakeShareBytes), std::string(64, '0'));
    EXPECT_FALSE(no_share.finish(raw(unhex(kShareA)), "x", "y"));
}

TEST(Code, TypedFormsAndTheirCanonicalForm) {
    const struct {
        const char* typed;
        const char* canonical;  // null: refused
    } cases[] = {
        {"7-guitar-ocean-tulip", "7-guitar-ocean-tulip"},
        {"7 GUITAR Ocean tulip", "7-guitar-ocean-tulip"},
        {"  7 - guitar-ocean  tulip ", "7-guitar-ocean-tulip"},
        {"\t42 --zebra\tzone-zoom", "42-zebra-zone-zoom"}, {"7-guitar-ocean-tulip\r\n", "7-guitar-ocean-tulip"},
        {"999999 abbey abbey abbey", "999999-abbey-abbey-abbey"},
        {"7 guitar OCEAN", "7-guitar-ocean"}, {"7 acid acid acid acid acid acid acid acid", "7-acid-acid-acid-acid-acid-acid-acid-acid"},
        {"7 acid acid acid acid acid acid acid acid acid", nullptr}, {"7-guitar-ocean-tulip-zoom", "7-guitar-ocean-tulip-zoom"},
        {"", nullptr}, {"   ", nullptr}, {"7", nullptr}, {"7-guitar", nullptr}, {"7-guitar-ocean-tulips", nullptr}, {"7-gui tar-ocean-tulip", nullptr},
        {"07-guitar-ocean-tulip", nullptr}, {"0-guitar-ocean-tulip", nullptr}, {"1000000-guitar-ocean-tulip", nullptr},
        {"7a-guitar-ocean-tulip", nullptr}, {"+7-guitar-ocean-tulip", nullptr}, {"guitar-7-ocean-tulip", nullptr},
        {"-7-guitar-ocean-tulip", nullptr}, {"7-guitar-ocean-tulip-", nullptr}, {"7_guitar_ocean_tulip", nullptr},
        {"7-guitar-oc\xc3\xa9" "an-tulip", nullptr},
    };
    for (const auto& c : cases) {
        Code code;
        code.text = "untouched";
        EXPECT_EQ(parse_code(c.typed, &code), c.canonical != nullptr) << '"' << c.typed << '"';
        EXPECT_EQ(code.text, c.canonical ? c.canonical : "untouched") << '"' << c.typed << '"';
    }
    Code code;
    ASSERT_TRUE(parse_code(" 12 Zebra zone ZOOM", &code) && code.nameplate == 12u);
    EXPECT_EQ(code_password(code), "zebra-zone-zoom");
    EXPECT_EQ(conference_of(code.nameplate), "tqr-code-12");
}

TEST(Code, FreshCodesParseBackAndKeysDependOnTheNameplateOnly) {
    for (int i = 0; i < 50; ++i) {
        std::string made = make_code();
        Code code;
        EXPECT_TRUE(parse_code(made, &code) && code.text == made && code.nameplate <= kMaxDrawnNameplate) << made;
    }
    Code code;
    EXPECT_TRUE(parse_code(make_code_with_nameplate(kMaxNameplate), &code) && code.nameplate == kMaxNameplate);
    EXPECT_EQ(make_code_with_nameplate(0) + make_code_with_nameplate(kMaxNameplate + 1), "");
    EXPECT_EQ(nameplate_check_key(7), "70817352c1fb9a19026896d8a3c45785c667dafd50eeb6242248ac2d36847be9");
    EXPECT_NE(nameplate_check_key(8), nameplate_check_key(7));
}

TEST(Code, WordListIsSortedLowerCaseAndShort) {
    ASSERT_GE(kCodeWordCount, 2048u);
    for (size_t i = 0; i < kCodeWordCount; ++i) {
        std::string word = g_code_words[i];
        EXPECT_TRUE(word.size() >= 3 && word.size() <= 7) << word;
        EXPECT_EQ(word.find_first_not_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos) << word;
        EXPECT_TRUE(i == 0 || std::string(g_code_words[i - 1]) < word) << "sorted and distinct: " << word;
    }
}

// The check words of a session's receipt key (values from Python's hashlib).
TEST(Code, CheckWordsOfASession) {
    for (const auto& row : {std::make_pair(0, "gentle-blond-sneeze-comet"), std::make_pair(0xff, "grasp-parrot-twin-beauty")}) {
        Session session;
        for (size_t i = 0; i < kSecretBytes; ++i) session.receipt_key[i] = static_cast<unsigned char>(row.first ? row.first : i);
        EXPECT_EQ(check_words(session), row.second);
    }
}

// A slip of one or two letters (added, dropped, changed, two swapped) finds the word; nothing farther
// is offered, the nearest come first and never more than three.
TEST(Code, NearestWordsForASlip) {
    struct Case {
        const char* typed;
        std::vector<std::string> nearest;
    };
    for (const Case& c : std::vector<Case>{{"WarDan", {"warden"}},  // changed, any case; "garden", two changes away, is not offered
                                           {"ocen", {"ocean", "open", "oven"}},
                                           {"guitarr", {"guitar"}},           // added
                                           {"qqqqqq", {}},
                                           {"", {}}}) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(tqr::nearest_words(c.typed), c.nearest);
    }
    // A listed word is not its own slip; only its nearest neighbours are offered, three at most.
    std::vector<std::string> near = tqr::nearest_words("bake");
    EXPECT_TRUE(!near.empty() && near.size() <= 3u);
    EXPECT_EQ(std::count(near.begin(), near.end(), "bake"), 0);
    EXPECT_EQ(tqr::nearest_words("bake", 1).size(), 1u);
    EXPECT_EQ(tqr::code_mistake("7-guitar-ocean-tulip"), "");
}

// What a peer or a file system names is shown as one unambiguous printable line; a port only as digits.
TEST(PeerText, ShownEscapedAndPortsTakenOnlyAsDigits) {
    const struct {
        std::string text, shown;
    } escapes[] = {
        {"7-guitar-ocean-tulip port 7201", "7-guitar-ocean-tulip port 7201"},
        {"日本 é Ω \xf0\x9f\x98\x80 \xc2\xa0\xe2\x80\xaf", "日本 é Ω \xf0\x9f\x98\x80 \xc2\xa0\xe2\x80\xaf"},
        {"a\\x1b", "a\\\\x1b"},
        {std::string("\t\r\n\x1b[2J\x7f\0.", 10), "\\x09\\x0d\\x0a\\x1b[2J\\x7f\\x00."},
        {"\xc2\x80\xc2\x9b" "31m\xc2\x9f|\x9b|\x80", "\\xc2\\x80\\xc2\\x9b" "31m\\xc2\\x9f|\\x9b|\\x80"},
        {"\xe2\x80\xaa\xe2\x80\xae" "abc\xe2\x81\xa6\xe2\x81\xa9", "\\xe2\\x80\\xaa\\xe2\\x80\\xae" "abc\\xe2\\x81\\xa6\\xe2\\x81\\xa9"},
        {"\xe2\x80\x8e\xd8\x9c\xe2\x80\xa8", "\\xe2\\x80\\x8e\\xd8\\x9c\\xe2\\x80\\xa8"},
        {"\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xff", "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80\\xff"},
        {"\xe6\x97|\xe6\x97", "\\xe6\\x97|\\xe6\\x97"},
    };
    for (const auto& row : escapes) EXPECT_EQ(escaped(row.text), row.shown) << hex(row.text);

    const struct {
        const char* info;
        int port;
    } ports[] = {{"7201", 7201}, {"1", 1}, {"65535", 65535}, {"65536", 0}, {"0", 0}, {"", 0}, {"123456", 0},
                 {"7201\x1b[2J", 0}, {"7201 ", 0}, {" 7201", 0}, {"+7201", 0}, {"-1", 0}, {"0x1c21", 0}};
    for (const auto& row : ports) EXPECT_EQ(port_of(row.info), row.port) << hex(row.info);
}

}  // namespace
