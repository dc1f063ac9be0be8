// Named messages: how a received text decodes, and which connection each composed message goes out on,
// with which cookie and tail.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "common/zel_common.h"
#include "protocol/caller.h"
#include "protocol/messages.h"
#include "test_support.h"

namespace {

std::string cookie_text(const void* cookie) {
    char text[32];
    snprintf(text, sizeof text, "%p", cookie);
    return text;
}

TEST(MessagesTest, DecodeTellsLongerNamesFromTheirPrefixes) {
    DecodedMessage m;
    ASSERT_TRUE(decode_message("Listening 0x1f2e 7205", &m));
    EXPECT_EQ(m.type, MSG_LISTENING);
    EXPECT_TRUE(m.has_cookie);
    EXPECT_EQ(m.cookie, reinterpret_cast<void*>(0x1f2e));
    EXPECT_EQ(m.info, "7205");
    EXPECT_EQ(port_of(m.info), 7205);

    ASSERT_TRUE(decode_message("Listen 0x1f2e 7205", &m));
    EXPECT_EQ(m.type, MSG_LISTEN);
    EXPECT_EQ(m.info, "7205");

    ASSERT_TRUE(decode_message("Connected 0xabc 7210", &m));
    EXPECT_EQ(m.type, MSG_CONNECTED);
    ASSERT_TRUE(decode_message("Connect 0xabc 7210", &m));
    EXPECT_EQ(m.type, MSG_CONNECT);
    EXPECT_EQ(m.cookie, reinterpret_cast<void*>(0xabc));

    ASSERT_TRUE(decode_message("Endstation Happy 0x10 7201", &m));
    EXPECT_EQ(m.type, MSG_ENDSTATION_HAPPY);
    EXPECT_EQ(m.info, "7201");
    ASSERT_TRUE(decode_message("notused 0x1 ", &m));
    EXPECT_EQ(m.type, MSG_NOTUSED);
}

TEST(MessagesTest, DecodeInfoEmptyAbsentOrNickname) {
    DecodedMessage m;
    // As composed without info: the cookie's blank ends the text, so the info is present and empty.
    ASSERT_TRUE(decode_message("Approve 0xdead ", &m));
    EXPECT_EQ(m.type, MSG_APPROVE);
    EXPECT_TRUE(m.has_cookie);
    EXPECT_TRUE(m.has_info);
    EXPECT_EQ(m.info, "");
    ASSERT_TRUE(decode_message("Approve 0xdead", &m));
    EXPECT_TRUE(m.has_cookie);
    EXPECT_FALSE(m.has_info);

    // A nickname may hold blanks: the info is everything after the cookie's blank.
    ASSERT_TRUE(decode_message("Nominate 0x42 eve the second", &m));
    EXPECT_EQ(m.info, "eve the second");
    ASSERT_TRUE(decode_message("Adios 0x42 ", &m));
    EXPECT_EQ(m.type, MSG_ADIOS);
    EXPECT_EQ(m.info, "");
}

TEST(MessagesTest, DecodeRejectsUnknownTextsAndFlagsBadCookies) {
    DecodedMessage m;
    EXPECT_FALSE(decode_message("", &m));
    EXPECT_FALSE(decode_message("Hello 0x1 2", &m));
    EXPECT_FALSE(decode_message("Listen", &m));        // the name's blank is part of the name
    EXPECT_FALSE(decode_message("listen 0x1 7", &m));  // names are case-sensitive
    EXPECT_FALSE(decode_message(" Listen 0x1 7", &m));
    EXPECT_EQ(m.type, -1);

    ASSERT_TRUE(decode_message("Connect zz 7205", &m));
    EXPECT_EQ(m.type, MSG_CONNECT);
    EXPECT_FALSE(m.has_cookie);
    EXPECT_EQ(m.info, "7205");
    ASSERT_TRUE(decode_message("Failed ", &m));
    EXPECT_EQ(m.type, MSG_FAILED);
    EXPECT_FALSE(m.has_cookie);
    EXPECT_FALSE(m.has_info);
}

TEST(MessagesTest, ComposedTextsDecodeToWhatWasComposed) {
    int marker = 0;
    for (int type = 0; type < g_message_count; ++type) {
        std::string text = compose_message(type, &marker, type % 2 ? "7207" : nullptr);
        EXPECT_EQ(text, g_message_names[type] + cookie_text(&marker) + " " + (type % 2 ? "7207" : ""));
        DecodedMessage m;
        ASSERT_TRUE(decode_message(text, &m)) << text;
        EXPECT_EQ(m.type, type);
        EXPECT_EQ(m.cookie, static_cast<void*>(&marker));
        EXPECT_TRUE(m.has_info);
        EXPECT_EQ(m.info, type % 2 ? "7207" : "");
    }
}

// A Caller on one end of a socket pair; the test reads what it writes from the other end.
struct Wired {
    Caller* caller = nullptr;
    int peer = -1;
    Wired() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
        caller = new Caller(fds[0]);
        peer = fds[1];
    }
    ~Wired() {
        delete caller;
        close(peer);
    }
    // Everything written so far (writes are complete when send_message returns).
    std::string written() {
        std::string out;
        char chunk[2048];
        ssize_t n;
        while ((n = recv(peer, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) out.append(chunk, static_cast<size_t>(n));
        return out;
    }
};

TEST(MessagesTest, EachTypeGoesOutOnItsConnectionWithItsCookieAndTail) {
    zel_set_quiet(1);
    Wired a, b;  // `a` composes; `b` is the other Caller the message is about
    ASSERT_NE(a.caller, nullptr);
    ASSERT_NE(b.caller, nullptr);
    b.caller->m_nickname = "eve";
    const std::string ca = cookie_text(a.caller);
    const std::string cb = cookie_text(b.caller);

    struct Expect {
        int type;
        bool on_other;       // written on b's link rather than a's
        bool cookie_is_this; // cookie names a rather than b
        std::string tail;
    };
    const Expect table[] = {
        {MSG_NOMINATE, false, false, "eve"},  {MSG_APPROVE, false, false, "7201"},
        {MSG_LISTEN, false, false, "7201"},   {MSG_LISTENING, false, false, "7201"},
        {MSG_PORT_IN_USE, false, false, "7201"}, {MSG_CONNECT, true, true, "7201"},
        {MSG_CONNECTED, false, false, "7201"}, {MSG_FAILED, false, false, ""},
        {MSG_ENDSTATION_HAPPY, true, true, "7201"}, {MSG_SENDER_HAPPY, false, false, "7201"},
        {MSG_ADIOS, true, false, ""},         {MSG_REJECTED_SENDER, false, false, ""},
    };
    for (const Expect& e : table) {
        SCOPED_TRACE(g_message_names[e.type]);
        EXPECT_EQ(a.caller->send_message(e.type, b.caller, "7201"), 1);
        std::string expected = std::string(g_message_names[e.type]) + (e.cookie_is_this ? ca : cb) + " " + e.tail;
        expected.push_back('\0');
        EXPECT_EQ(e.on_other ? b.written() : a.written(), expected);
        EXPECT_EQ(e.on_other ? a.written() : b.written(), "");
    }

    // Without info the text ends in the cookie's blank.
    EXPECT_EQ(a.caller->send_message(MSG_APPROVE, b.caller, nullptr), 1);
    EXPECT_EQ(a.written(), std::string("Approve ") + cb + " " + std::string(1, '\0'));
    // A sender or endstation echoes a cookie it never follows: only its value is written.
    EXPECT_EQ(a.caller->send_message(MSG_SENDER_HAPPY, reinterpret_cast<Caller*>(0x5eed0), "7202"), 1);
    EXPECT_EQ(a.written(), "Sender Happy " + cookie_text(reinterpret_cast<void*>(0x5eed0)) + " 7202" +
                               std::string(1, '\0'));

    for (int type : {int(MSG_SUCCESS), int(MSG_NOTUSED), -1, 14}) {
        EXPECT_EQ(a.caller->send_message(type, b.caller, "7201"), 0) << type;
    }
    EXPECT_EQ(a.written(), "");
    EXPECT_EQ(b.written(), "");
}

}  // namespace
