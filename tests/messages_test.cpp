// Named messages: how a received text decodes, and which connection each composed message goes out on,
// with which cookie and tail.
#include "protocol/messages.h"
#include "test_support.h"

namespace {

std::string cookie_text(const void* cookie) {
    char text[32];
    snprintf(text, sizeof text, "%p", cookie);
    return text;
}

TEST(MessagesTest, DecodeTellsNamesPrefixesInfoAndCookiesApart) {
    struct Case {
        const char* text;
        int type;  // -1: not a message
        bool has_cookie;
        long cookie;
        bool has_info;
        const char* info;
    };
    const Case cases[] = {
        {"Listening 0x1f2e 7205", MSG_LISTENING, true, 0x1f2e, true, "7205"},
        {"Listen 0x1f2e 7205", MSG_LISTEN, true, 0x1f2e, true, "7205"},
        {"Connected 0xabc 7210", MSG_CONNECTED, true, 0xabc, true, "7210"},
        {"Connect 0xabc 7210", MSG_CONNECT, true, 0xabc, true, "7210"},
        {"Endstation Happy 0x10 7201", MSG_ENDSTATION_HAPPY, true, 0x10, true, "7201"},
        {"Approve 0xdead ", MSG_APPROVE, true, 0xdead, true, ""},  // as composed without info
        {"Approve 0xdead", MSG_APPROVE, true, 0xdead, false, ""},
        {"Nominate 0x42 eve the second", MSG_NOMINATE, true, 0x42, true, "eve the second"},
        {"Connect zz 7205", MSG_CONNECT, false, 0, true, "7205"},
        {"Failed ", MSG_FAILED, false, 0, false, ""},
        {"", -1, false, 0, false, ""},
        {"Hello 0x1 2", -1, false, 0, false, ""},
        {"Listen", -1, false, 0, false, ""},  // the name's blank is part of the name
        {"listen 0x1 7", -1, false, 0, false, ""},
        {" Listen 0x1 7", -1, false, 0, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        DecodedMessage m;
        EXPECT_EQ(decode_message(c.text, &m), c.type != -1);
        EXPECT_EQ(m.type, c.type);
        if (c.type == -1) continue;
        EXPECT_EQ(m.has_cookie, c.has_cookie);
        if (c.has_cookie) {
            EXPECT_EQ(m.cookie, reinterpret_cast<void*>(c.cookie));
        }
        EXPECT_EQ(m.has_info, c.has_info);
        EXPECT_EQ(m.info, c.info);
    }
    EXPECT_EQ(port_of("7205"), 7205);

    // Every composed text decodes to its own type and cookie, whatever name is a prefix of another.
    int marker = 0;
    for (int type = 0; type < g_message_count; ++type) {
        DecodedMessage m;
        ASSERT_TRUE(decode_message(compose_message(type, &marker, "7207"), &m)) << type;
        EXPECT_EQ(m.type, type);
        EXPECT_EQ(m.cookie, static_cast<void*>(&marker));
        EXPECT_EQ(m.info, "7207");
    }
}

TEST(MessagesTest, EachTypeGoesOutOnItsConnectionWithItsCookieAndTail) {
    zel_set_quiet(1);
    zel_test::WiredCaller a(false), b(false);  // `a` composes; `b` is the other Caller the message is about
    ASSERT_NE(a.caller, nullptr);
    ASSERT_NE(b.caller, nullptr);
    b.caller->m_nickname = "eve";
    const std::string ca = cookie_text(a.caller);
    const std::string cb = cookie_text(b.caller);

    struct Expect {
        int type;
        bool on_other;        // written on b's link rather than a's
        bool cookie_is_this;  // cookie names a rather than b
        std::string tail;
    };
    const Expect table[] = {
        {MSG_NOMINATE, false, false, "eve"},        {MSG_APPROVE, false, false, "7201"},
        {MSG_LISTEN, false, false, "7201"},         {MSG_LISTENING, false, false, "7201"},
        {MSG_PORT_IN_USE, false, false, "7201"},    {MSG_CONNECT, true, true, "7201"},
        {MSG_CONNECTED, false, false, "7201"},      {MSG_FAILED, false, false, ""},
        {MSG_ENDSTATION_HAPPY, true, true, "7201"}, {MSG_SENDER_HAPPY, false, false, "7201"},
        {MSG_ADIOS, true, false, ""},               {MSG_REJECTED_SENDER, false, false, ""},
    };
    for (const Expect& e : table) {
        SCOPED_TRACE(g_message_names[e.type]);
        EXPECT_EQ(a.caller->send_message(e.type, b.caller, "7201"), 1);
        std::string expected = g_message_names[e.type] + (e.cookie_is_this ? ca : cb) + " " + e.tail;
        EXPECT_EQ(e.on_other ? b.written() : a.written(), zel_test::nul(expected));
        EXPECT_EQ(e.on_other ? a.written() : b.written(), "");
    }

    // Without info the text ends in the cookie's blank.
    EXPECT_EQ(a.caller->send_message(MSG_APPROVE, b.caller, nullptr), 1);
    EXPECT_EQ(a.written(), zel_test::nul("Approve " + cb + " "));
    // A sender or endstation echoes a cookie it never follows: only its value is written.
    EXPECT_EQ(a.caller->send_message(MSG_SENDER_HAPPY, reinterpret_cast<Caller*>(0x5eed0), "7202"), 1);
    EXPECT_EQ(a.written(), zel_test::nul("Sender Happy " + cookie_text(reinterpret_cast<void*>(0x5eed0)) + " 7202"));

    for (int type : {int(MSG_SUCCESS), int(MSG_NOTUSED), -1, 14})
        EXPECT_EQ(a.caller->send_message(type, b.caller, "7201"), 0) << type;
    EXPECT_EQ(a.written() + b.written(), "");
}

}  // namespace
