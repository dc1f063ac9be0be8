// Beside a file, real processes on loopback: texts, chosen and longer codes, check words (refusals: tqr_test).
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "strangers.h"

namespace {

using namespace harness;

TEST(Features, TransfersOfTextsCodesAndCheckWords) {
    // `text` has several scripts, a tab and bytes that are no UTF-8: it comes out as it came on a pipe.
    const std::string file = random_bytes(100 * 1024, 3), check = "check words: ([a-z]+(-[a-z]+){3})\n",
                      text = "h\xc3\xa9llo \xe6\x97\xa5\xe6\x9c\xac \xce\xa9\t\xff\xfe\nzwei\n";
    const struct {
        std::string send, receive, input;  // the sender's arguments after --count 1, the receiver's before the code
        size_t words;                      // in the code shown
        std::string out, err;              // the receiver's standard output; what its standard error matches
    } rows[] = {
        {"--text -", "", text, 3, text, ""},
        {"--text 'x\"y'", "--json", "", 3, "x\"y", "\"event\":\"text\",\"text\":\"x\\\\\"y\""},  // the argument's text
        {"--words 2 payload", "", "", 2, "", ""},
        {"--code '613 Zebra ZONE acid' payload", "", "", 3, "", ""},
        {"--verify payload", "--verify", "", 3, "", check},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.send);
        TempDir dir;
        write_file(dir / "payload", file);
        std::filesystem::create_directory(dir / "in");
        // A --text - reads its message from standard input, which CodeSender would give /dev/null.
        CodeSender sender({"/bin/bash", "-c", "printf %s '" + row.input + "' | " + ZEL_TQR_PATH + " send --count 1 " + row.send}, dir);
        ASSERT_TRUE(sender.shown() && sender.parsed.words.size() == row.words) << sender.code << sender.err();
        if (row.send[2] == 'c') {
            TqrProcess second({"send", "--host", "127.0.0.1", "--code", "613-acid-acid", "payload"}, dir.path());
            EXPECT_TRUE(sender.code == "613-zebra-zone-acid" && second.wait(kTool) == 3 &&
                        second.err() == "tqr send: nameplate 613 has a sender already: choose a code of another number, "
                                        "or leave out --code\n") << sender.code << second.err();
        }
        std::vector<std::string> args{"receive", "--host", "127.0.0.1", sender.code};
        if (!row.receive.empty()) args.insert(args.begin() + 1, row.receive);
        TqrProcess receive(args, dir / "in");
        ASSERT_EQ(receive.wait(kTool), 0) << receive.err();
        EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
        EXPECT_EQ(receive.out(), row.out);
        std::smatch found;  // of a string that outlives it
        const std::string err = receive.err();
        EXPECT_TRUE(std::regex_search(err, found, std::regex(row.err))) << err;
        // The sender shows the receiver's check words for its link.
        if (row.err == check) {
            EXPECT_NE(sender.err().find(": " + found[1].str() + "\n"), std::string::npos) << sender.err();
        }
        EXPECT_TRUE(row.out.empty() ? read_file(dir / "in/payload") == file : std::filesystem::is_empty(dir / "in"));
    }
}

// Several files and folders in one send, placed beside each other: a file of the same name replaced
// only with --force, a link that leaves its own folder left out, two arguments of one name refused.
TEST(Features, SeveralFilesAndFoldersArriveBesideEachOther) {
    TempDir dir;
    std::filesystem::create_directories(dir / "photos/2024");
    write_file(dir / "a.pdf", "A");
    write_file(dir / "b.txt", "B");
    write_file(dir / "photos/2024/Î±ÿ.jpg", "P");
    std::filesystem::create_symlink("../../b.txt", dir / "photos/2024/out");
    const struct {
        const char* force;  // "" or --force
        std::string kept;   // b.txt in the receiver's folder before, "" none
        int status;
        std::string b, arrived;
    } rows[] = {{"", "", 0, "B", "a.pdf, b.txt, photos"}, {"", "old", 5, "old", "a.pdf, photos"}, {"--force", "old", 0, "B", "a.pdf, b.txt, photos"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kept + row.force);
        TempDir in;
        if (!row.kept.empty()) write_file(in / "b.txt", row.kept);
        CodeSender sender({"send", "--count", "1", "a.pdf", "b.txt", "photos/"}, dir);
        ASSERT_TRUE(sender.shown()) << sender.err();
        TqrProcess receive({"receive", "--host", "127.0.0.1", sender.code, row.force}, in.path());
        EXPECT_EQ(receive.wait(kTool), row.status) << receive.err();
        EXPECT_EQ(sender.wait(kTool), 0) << sender.err();
        EXPECT_NE(receive.err().find("arrived in .: " + row.arrived + "\n"), std::string::npos) << receive.err();
        EXPECT_TRUE(read_file(in / "a.pdf") == "A" && read_file(in / "photos/2024/Î±ÿ.jpg") == "P" &&
                    read_file(in / "b.txt") == row.b && !std::filesystem::is_symlink(in / "photos/2024/out"));
        EXPECT_NE(sender.err().find("skipped photos/2024/out: a link that leads out of the folder"), std::string::npos);
    }
    TqrProcess twice({"send", "a.pdf", "photos/../a.pdf"}, dir.path());
    EXPECT_EQ(twice.wait(kTool), 1);
    EXPECT_EQ(twice.err(), "tqr send: two of the files to send are named a.pdf: send them in two goes, or from folders\n");
}

}  // namespace
