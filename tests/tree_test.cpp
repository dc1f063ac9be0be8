// A folder's archive: made exactly as long as announced, taken apart into a folder that appears whole,
// and nothing of a hostile archive lands outside it.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "harness.h"
#include "tools/tqr/tree.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(fs::relative(entry.path(), folder));
    std::sort(names.begin(), names.end());
    return names;
}

// Feeds `archive` to a sink for `final_path` in pieces of `piece` bytes.
bool extract(const std::string& archive, const std::string& final_path, size_t piece, tqr::TreeSink* sink) {
    std::string error;
    if (!sink->open(final_path, &error)) return false;
    for (size_t at = 0; at < archive.size(); at += piece)
        if (!sink->write(archive.data() + at, std::min(piece, archive.size() - at), &error)) return false;
    return sink->commit(&error);
}

TEST(TreeTest, AFolderRoundTripsWithItsModesTimesAndInnerLinks) {
    TempDir dir;
    std::string top = dir / "photos";
    fs::create_directories(top + "/2024/empty");
    for (int i = 0; i < 40; ++i) write_file(top + "/2024/f" + std::to_string(i), random_bytes(i * 37, i));
    write_file(top + "/big", random_bytes(3 << 20, 99));
    write_file(top + "/nothing", "");
    symlink("2024/f1", (top + "/inner").c_str());
    symlink("/etc/passwd", (top + "/absolute").c_str());
    symlink("../../elsewhere", (top + "/2024/escaping").c_str());
    mkfifo((top + "/fifo").c_str(), 0600);
    chmod((top + "/2024/f2").c_str(), 0600);
    chmod((top + "/2024/f3").c_str(), 0751);
    timespec old[2] = {{0, UTIME_OMIT}, {1577934245, 123456789}};
    for (const char* path : {"/2024/f4", "/2024", ""}) utimensat(AT_FDCWD, (top + path).c_str(), old, AT_SYMLINK_NOFOLLOW);

    symlink(dir.path().c_str(), (dir / "via").c_str());
    tqr::TreeSource source;
    std::vector<std::string> notes;
    std::string error;
    ASSERT_TRUE(source.scan(top, &error, [&](const std::string& line) { notes.push_back(line); })) << error;
    EXPECT_EQ(notes.size(), 3u);  // the two links that leave, and the fifo
    EXPECT_EQ(source.name(), "photos");
    for (size_t chunk : {size_t{1000}, size_t{65536}}) {
        SCOPED_TRACE(chunk);
        tqr::TreeStream stream(source);
        ASSERT_TRUE(stream.start(&error));
        std::string archive;
        std::vector<char> buffer(chunk);
        for (ssize_t n; (n = stream.read(buffer.data(), buffer.size())) > 0;) archive.append(buffer.data(), n);
        EXPECT_EQ(archive.size(), source.archive_size());
        // Through a symbolic link on the way, which libarchive would not extract through.
        std::string target = dir / ("via/copy" + std::to_string(chunk));
        tqr::TreeSink sink;
        ASSERT_TRUE(extract(archive, target, chunk * 3 + 1, &sink));
        EXPECT_TRUE(sink.refused().empty());
        // Only what was left out differs.
        std::string diff = run("diff -r --no-dereference " + quote(top) + " " + quote(target)).output;
        EXPECT_EQ(std::count(diff.begin(), diff.end(), '\n'), 3) << diff;
        for (const char* left_out : {": absolute\n", "/2024: escaping\n", ": fifo\n"})
            EXPECT_NE(diff.find("Only in " + top + left_out), std::string::npos) << diff;
        for (const char* path : {"/2024/f2", "/2024/f3", "/2024/f4", "/2024", ""}) {
            struct stat was {}, is {};
            stat((top + path).c_str(), &was);
            stat((target + path).c_str(), &is);
            EXPECT_EQ(was.st_mode, is.st_mode) << path;
            EXPECT_EQ(was.st_mtim.tv_sec, is.st_mtim.tv_sec) << path;
            EXPECT_EQ(was.st_mtim.tv_nsec, is.st_mtim.tv_nsec) << path;
        }
        EXPECT_EQ(fs::read_symlink(target + "/inner"), "2024/f1");
    }
}

// An archive as someone hostile makes it: only the one harmless entry is extracted, each other one is
// listed with why, and nothing appears outside the new folder.
TEST(TreeTest, AHostileArchiveExtractsNothingOutsideItsFolder) {
    TempDir dir;
    struct Entry {
        const char* path;
        mode_t type;
        const char* link;  // symbolic link target, or hard link
        bool hard;
    };
    const Entry entries[] = {
        {"top", AE_IFDIR, nullptr, false},         {"top/ok", AE_IFREG, nullptr, false},
        {"top/../x", AE_IFREG, nullptr, false},    {"/tmp/absolute", AE_IFREG, nullptr, false},
        {"top/up", AE_IFLNK, "../../outside", false}, {"top/abs", AE_IFLNK, "/etc", false},
        {"top/hard", AE_IFREG, "top/ok", true},    {"top/dev", AE_IFCHR, nullptr, false},
        {"other/top", AE_IFREG, nullptr, false},   {"top/sub/../../y", AE_IFREG, nullptr, false},
    };
    std::vector<char> memory(1 << 20);
    size_t used = 0;
    archive* out = archive_write_new();
    archive_write_set_format_pax(out);
    ASSERT_EQ(archive_write_open_memory(out, memory.data(), memory.size(), &used), ARCHIVE_OK);
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path);
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, 04755);
        if (e.link && e.hard) archive_entry_set_hardlink(entry, e.link);
        if (e.link && !e.hard) archive_entry_set_symlink(entry, e.link);
        if (e.type == AE_IFREG && !e.hard) archive_entry_set_size(entry, 5);
        archive_write_header(out, entry);
        if (e.type == AE_IFREG && !e.hard) archive_write_data(out, "bytes", 5);
        archive_entry_free(entry);
    }
    archive_write_close(out);
    archive_write_free(out);

    fs::create_directory(dir / "in");
    tqr::TreeSink sink;
    ASSERT_TRUE(extract(std::string(memory.data(), used), dir / "in/top", 700, &sink));
    EXPECT_EQ(sink.refused().size(), 8u);
    for (const std::string& line : sink.refused()) EXPECT_NE(line.find(": "), std::string::npos) << line;
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"in", "in/top", "in/top/ok"}));
    struct stat ok {};
    stat((dir / "in/top/ok").c_str(), &ok);
    EXPECT_EQ(ok.st_mode & 07777, 0755u);  // no set-user-ID from a stranger

    // A folder is never merged into one that exists, and a sink that is not committed leaves nothing.
    tqr::TreeSink again;
    std::string error;
    EXPECT_FALSE(again.open(dir / "in/top", &error));
    EXPECT_NE(error.find("exists"), std::string::npos);
    {
        tqr::TreeSink abandoned;
        ASSERT_TRUE(abandoned.open(dir / "in/other", &error));
        ASSERT_TRUE(abandoned.write(memory.data(), 1000, &error));
    }
    EXPECT_EQ(listing(dir / "in"), (std::vector<std::string>{"top", "top/ok"}));
}

}  // namespace
