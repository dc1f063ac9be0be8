// What people reach for beside a file: a text, a chosen or longer code, check words, and the shell's
// completion of a code. Real `tqr` processes on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>

#include "strangers.h"

namespace {

using namespace harness;

// A text with several scripts, a tab and bytes that are no UTF-8: as it came on a pipe.
const std::string kText = "h\xc3\xa9llo \xe6\x97\xa5\xe6\x9c\xac \xce\xa9\t\xff\xfe\nzwei\n";

struct Transfer {
    const char* what;
    std::vector<std::string> send;     // after "send --count 1"
    std::vector<std::string> receive;  // after "receive --host 127.0.0.1", before the code
    std::string input;                 // the sender's standard input
    size_t words;                      // in the code shown
    std::string out;                   // the receiver's standard output
    std::string err;                   // a regular expression that the receiver's standard error matches
    bool file;                         // "payload" arrives as a file
};

TEST(Features, TransfersOfTextsCodesAndCheckWords) {
    const std::string file = random_bytes(100 * 1024, 3);
    const std::string check = "check words: ([a-z]+-[a-z]+-[a-z]+-[a-z]+)\n";
    for (const Transfer& t : std::vector<Transfer>{
             {"text", {"--text", kText}, {}, "", 3, kText, "", false},
             {"text from standard input", {"--text", "-"}, {}, kText, 3, kText, "", false},
             {"text, --json", {"--text", "x\"y"}, {"--json"}, "", 3, "x\"y", "\"event\":\"text\",\"text\":\"x\\\\\"y\"", false},
             {"two words", {"--words", "2", "payload"}, {}, "", 2, "", "", true},
             {"eight words", {"--words", "8", "payload"}, {}, "", 8, "", "", true},
             {"a chosen code", {"--code", "613 Zebra ZONE acid", "payload"}, {}, "", 3, "", "", true},
             {"--verify on both sides, not a terminal", {"--verify", "payload"}, {"--verify"}, "", 3, "", check, true}}) {
        SCOPED_TRACE(t.what);
        TempDir dir;
        write_file(dir / "payload", file);
        write_file(dir / "input", t.input);
        std::vector<std::string> args{"send", "--count", "1"};
        args.insert(args.end(), t.send.begin(), t.send.end());
        std::unique_ptr<CodeSender> sender;
        {
            // CodeSender takes its standard input from /dev/null: a --text - reads it from a file.
            std::string script = "exec " + std::string(ZEL_TQR_PATH);
            for (const std::string& arg : args) script += " '" + arg + "'";
            sender.reset(new CodeSender({"/bin/bash", "-c", script + " < input"}, dir));
        }
        ASSERT_TRUE(sender->shown()) << sender->err();
        EXPECT_EQ(sender->parsed.words.size(), t.words) << sender->code;
        if (t.send[0] == "--code") EXPECT_EQ(sender->code, "613-zebra-zone-acid");
        std::filesystem::create_directory(dir / "in");
        std::vector<std::string> receive_args{"receive", "--host", "127.0.0.1"};
        receive_args.insert(receive_args.end(), t.receive.begin(), t.receive.end());
        receive_args.push_back(sender->code);
        TqrProcess receive(receive_args, dir / "in");
        ASSERT_EQ(receive.wait(kTool), 0) << receive.err();
        EXPECT_EQ(sender->wait(kTool), 0) << sender->err();
        EXPECT_EQ(receive.out(), t.out);
        std::smatch found;
        std::string err = receive.err();
        EXPECT_TRUE(std::regex_search(err, found, std::regex(t.err))) << err;
        if (t.err == check) {
            std::string words = found[1];
            EXPECT_NE(sender->err().find(": " + words + "\n"), std::string::npos) << sender->err();
        }
        EXPECT_EQ(std::filesystem::exists(dir / "in/payload"), t.file);
        if (t.file) EXPECT_EQ(read_file(dir / "in/payload"), file);
        if (!t.file) EXPECT_TRUE(std::filesystem::is_empty(dir / "in"));
    }
}

TEST(Features, RefusedWithALineAndItsStatus) {
    TempDir dir;
    write_file(dir / "payload", "x");
    write_file(dir / "long", std::string(64 * 1024 + 1, 'a'));
    CodeSender holder({"send", "--code", "7-acid-acid", "payload"}, dir);
    ASSERT_TRUE(holder.shown()) << holder.err();
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } rows[] = {
        {{"send", "--code", "7-guitar-ocan", "payload"}, 1,
         "tqr send: ocan is not a word of the code list; did you mean ocean, coin or fan?\n"},
        {{"send", "--code", "7-guitar", "payload"}, 1,
         "tqr send: a code is a number and two to eight words of the list, as in 7-guitar-ocean-tulip; that has 2 parts\n"},
        {{"send", "--code", "7-acid-abbey", "--host", "127.0.0.1", "payload"}, 3,
         "tqr send: nameplate 7 has a sender already: choose a code of another number, or leave out --code\n"},
        {{"send", "--code", "8-acid-acid", "--conference", "c", "payload"}, 1,
         "tqr send: give --code or --conference, not both\n"},
        {{"send", "--words", "9", "payload"}, 1, "--words: Value 9 not in range 2 to 8\nRun with --help for more information.\n"},
        {{"/bin/bash", "-c", std::string(ZEL_TQR_PATH) + " send --text - < long"}, 1,
         "tqr send: a text is at most 64 KiB: send a longer one as a file\n"},
        {{"send", "--text", "hi", "payload"}, 1, "tqr send: give a file or --text, not both\n"},
        {{"send", "--text", "hi", "--plain", "--conference", "c", "--key", "k"}, 1,
         "tqr send: a text goes in the encrypted format only: leave out --plain\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.back());
        TqrProcess tqr(row.args, dir.path());
        EXPECT_EQ(tqr.wait(kTool), row.status);
        // The last line is the refusal; a key given on the command line has its warnings first.
        std::string err = tqr.err();
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), row.err.size())), row.err);
    }
}

// The words come from the list that parses codes, and bash completes the part being typed.
TEST(Features, CompletionOfACodesWords) {
    TqrProcess words({"__words"});
    ASSERT_EQ(words.wait(kTool), 0);
    const std::string list = words.out();
    EXPECT_EQ(list.substr(0, 13), "abbey\nabsent\n");
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), static_cast<long>(tqr::kCodeWordCount));
    std::string tqr = std::string("'") + ZEL_TQR_PATH + "'";
    std::string script = std::string("source '") + ZEL_SOURCE_DIR + "/tools/tqr/tqr.bash'; "
                         "c() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); _tqr; echo \"${COMPREPLY[*]}\"; }; c " +
                         tqr + " receive 7-gui; c " + tqr + " receive 7-guitar-OCE; c " + tqr + " receive 7 guitar oc; c " +
                         tqr + " send --code 12-zeb; c " + tqr + " receive --host h 7-gx";
    TqrProcess bash({"/bin/bash", "-c", script});
    ASSERT_EQ(bash.wait(kTool), 0) << bash.err();
    EXPECT_EQ(bash.out(), "7-guide 7-guitar\n7-guitar-ocean\nocean octave octopus\n12-zebra\n\n");
}

}  // namespace
