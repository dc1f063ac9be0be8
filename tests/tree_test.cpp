// A folder's archive: made exactly as long as announced, taken apart into a folder that appears whole,
// and nothing of a hostile archive lands outside it.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "harness.h"
#include "folder/tree.h"
#include "transfer/payload.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

std::vector<std::string> listing(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) names.push_back(entry.path().lexically_relative(folder));
    std::sort(names.begin(), names.end());
    return names;
}

// Feeds `archive` to a sink for `final_path` in pieces of `piece` bytes: "" once committed, else why not.
std::string extract(const std::string& archive, const std::string& final_path, size_t piece, tqr::TreeSink* sink) {
    std::string error;
    if (!sink->open(final_path, &error)) return error;
    for (size_t at = 0; at < archive.size(); at += piece)
        if (!sink->write(archive.data() + at, std::min(piece, archive.size() - at), &error)) return error;
    return sink->commit(&error) ? "" : error;
}

struct Made {
    const char* path;
    mode_t type;
    const char* link;  // symbolic link target, or hard link
    bool hard;
    int64_t sparse;  // a regular file's claimed size, of which 5 bytes are data
    mode_t perm = 04755;
};

// An archive as someone hostile makes it, of `entries`.
std::string make_archive(const std::vector<Made>& entries) {
    std::string bytes;
    archive* out = archive_write_new();
    archive_write_set_format_pax(out);
    archive_write_open(out, &bytes, nullptr, [](archive*, void* to, const void* data, size_t size) {
        static_cast<std::string*>(to)->append(static_cast<const char*>(data), size);
        return static_cast<la_ssize_t>(size);
    }, nullptr);
    for (const Made& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.path);
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, e.perm);
        if (e.link && e.hard) archive_entry_set_hardlink(entry, e.link);
        if (e.link && !e.hard) archive_entry_set_symlink(entry, e.link);
        bool data = e.type == AE_IFREG && !e.hard;
        if (data) archive_entry_set_size(entry, e.sparse ? e.sparse : 5);
        if (data && e.sparse) archive_entry_sparse_add_entry(entry, 0, 5);
        archive_write_header(out, entry);
        if (data) archive_write_data(out, "bytes", 5);
        archive_entry_free(entry);
    }
    archive_write_close(out);
    archive_write_free(out);
    return bytes;
}

TEST(TreeTest, AFolderRoundTripsWithItsModesTimesAndInnerLinks) {
    TempDir dir;
    std::string top = dir / "photos";
    fs::create_directories(top + "/2024/empty");
    for (int i = 0; i < 40; ++i) write_file(top + "/2024/f" + std::to_string(i), random_bytes(i * 37, i));
    // More entries than the measure takes in one batch, some with names that a pax header carries in a
    // record of its own (long ones, bytes that are not UTF-8), so the batches' lengths must add up.
    fs::create_directories(top + "/many");
    const char* scripts[] = {"日本語", "Ελληνικά", "עברית", "\xff\xfe", "한국어"};
    for (int i = 0; i < 1100; ++i)
        write_file(top + "/many/" + std::string(i % 97 == 0 ? 120 : 1, 'n') + scripts[i % 5] + std::to_string(i), "m");
    write_file(top + "/big", random_bytes(3 << 20, 99));
    write_file(top + "/nothing", "");
    symlink("2024/f1", (top + "/inner").c_str());
    symlink("/etc/passwd", (top + "/absolute").c_str());
    symlink("../../elsewhere", (top + "/2024/escaping").c_str());
    // Inside by their text, out or round on disk: the sender leaves them out as the receiver would.
    symlink("..", (top + "/2024/up").c_str());
    symlink("2024/up/../f1", (top + "/climbing").c_str());
    symlink("loop2", (top + "/loop1").c_str());
    symlink("loop1", (top + "/loop2").c_str());
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
    EXPECT_EQ(notes.size(), 6u);  // the five links that leave or loop, and the fifo
    EXPECT_EQ(source.name(), "photos");
    for (size_t chunk : {size_t{1000}, size_t{65536}}) {
        SCOPED_TRACE(chunk);
        tqr::TreeStream stream(source);
        std::string archive;
        std::vector<char> buffer(chunk);
        for (ssize_t n; (n = stream.read(buffer.data(), buffer.size())) > 0;) archive.append(buffer.data(), n);
        EXPECT_EQ(archive.size(), source.archive_size());
        // Through a symbolic link on the way, which libarchive would not extract through.
        std::string target = dir / ("via/copy" + std::to_string(chunk));
        // What the receiver creates is masked by its umask.
        mode_t mask = chunk == 1000 ? 022 : 077, was_mask = umask(mask);
        tqr::TreeSink sink;
        ASSERT_EQ(extract(archive, target, chunk * 3 + 1, &sink), "");
        umask(was_mask);
        EXPECT_TRUE(sink.refused().lines().empty());
        // Only what was left out differs.
        std::string diff = run("diff -r --no-dereference " + quote(top) + " " + quote(target)).output;
        EXPECT_EQ(std::count(diff.begin(), diff.end(), '\n'), 6) << diff;
        for (const char* left_out : {": absolute\n", "/2024: escaping\n", ": fifo\n", ": climbing\n", ": loop1\n", ": loop2\n"})
            EXPECT_NE(diff.find("Only in " + top + left_out), std::string::npos) << diff;
        for (const char* path : {"/2024/f2", "/2024/f3", "/2024/f4", "/2024", ""}) {
            struct stat was {}, is {};
            stat((top + path).c_str(), &was);
            stat((target + path).c_str(), &is);
            EXPECT_EQ(was.st_mode & ~mask, is.st_mode) << path;
            EXPECT_EQ(was.st_mtim.tv_sec, is.st_mtim.tv_sec) << path;
            EXPECT_EQ(was.st_mtim.tv_nsec, is.st_mtim.tv_nsec) << path;
        }
        EXPECT_EQ(fs::read_symlink(target + "/inner"), "2024/f1");
        // Any tar reads it alike: GNU tar makes the same folder of it, to the nanosecond.
        if (chunk != 1000) continue;
        std::string untarred = dir / "untarred";
        fs::create_directory(untarred);
        ASSERT_TRUE(write_file(dir / "archive.tar", archive));
        ASSERT_EQ(run("tar -x -C " + quote(untarred) + " -f " + quote(dir / "archive.tar")).status, 0);
        EXPECT_EQ(run("diff -r --no-dereference " + quote(target) + " " + quote(untarred + "/photos")).output, "");
        struct stat was {}, is {};
        stat((top + "/2024/f4").c_str(), &was);
        stat((untarred + "/photos/2024/f4").c_str(), &is);
        EXPECT_EQ(was.st_mtim.tv_nsec, is.st_mtim.tv_nsec);
    }
}

// Each header as libarchive reads it back, for what a ustar field cannot hold.
TEST(TreeTest, AHeaderCarriesWhatItsFieldsCannotHold) {
    using Entry = tqr::TreeSource::Entry;
    auto make = [](const std::string& path, mode_t type, uint64_t size, timespec mtime, const std::string& target) {
        Entry entry;
        entry.path = path, entry.type = type, entry.mode = type | 0640, entry.size = size, entry.mtime = mtime;
        entry.target = target;
        return entry;
    };
    const std::string long_name = "t/" + std::string(98, 'a'), longer = long_name + "b";
    const Entry rows[] = {
        make(long_name, S_IFREG, 3, {1, 0}, ""),  // fills the name field to its last byte
        make(longer, S_IFREG, 0, {1700000000, 5}, ""),
        make("t/\xff\xfe \xce\xb1", S_IFREG, 1, {1700000000, 999999999}, ""),
        make("t/" + std::string(200, 'd'), S_IFDIR, 0, {2, 0}, ""),
        make("t/l", S_IFLNK, 0, {3, 0}, std::string(150, 'x') + "\xff"),
        make("t/huge", S_IFREG, 9ull << 30, {4, 0}, ""),             // beyond the size field's octal
        make("t/old", S_IFREG, 0, {-2, 500000000}, ""),              // before 1970
        make("t/late", S_IFREG, 0, {32503680000, 1}, ""),            // beyond the time field's octal
    };
    for (const Entry& row : rows) {
        SCOPED_TRACE(row.path);
        std::string bytes;
        tqr::append_header(row, &bytes);
        ASSERT_EQ(bytes.size() % 512, 0u);
        ASSERT_EQ(bytes.size(), tqr::header_size(row));  // what the archive's announced length counts
        bytes.append(std::min<uint64_t>(row.size, 1 << 20) + 1024 + 511, '\0');
        archive* in = archive_read_new();
        archive_read_support_format_tar(in);
        ASSERT_EQ(archive_read_open_memory(in, bytes.data(), bytes.size()), ARCHIVE_OK);
        archive_entry* got = nullptr;
        ASSERT_EQ(archive_read_next_header(in, &got), ARCHIVE_OK) << archive_error_string(in);
        EXPECT_EQ(archive_entry_pathname(got), row.path + (row.type == S_IFDIR ? "/" : ""));
        EXPECT_EQ(archive_entry_filetype(got), row.type);
        EXPECT_EQ(archive_entry_perm(got), 0640u);
        EXPECT_EQ(static_cast<uint64_t>(archive_entry_size(got)), row.size);
        EXPECT_EQ(archive_entry_mtime(got), row.mtime.tv_sec);
        EXPECT_EQ(archive_entry_mtime_nsec(got), row.mtime.tv_nsec);
        EXPECT_EQ(archive_entry_symlink(got) ? archive_entry_symlink(got) : "", row.target);
        archive_read_free(in);
    }
}

// An archive as someone hostile makes it: only the harmless entries are extracted, each other one is
// listed with why, and nothing appears outside the new folder nor leads out of it, whatever the order
// of links that each stay inside but add up to a way out.
TEST(TreeTest, AHostileArchiveExtractsNothingOutsideItsFolder) {
    TempDir dir;
    const std::string archive = make_archive({
        {"top", AE_IFDIR, nullptr, false, 0},         {"top/ok", AE_IFREG, nullptr, false, 0},
        {"top/../x", AE_IFREG, nullptr, false, 0},    {"/tmp/absolute", AE_IFREG, nullptr, false, 0},
        {"top/up", AE_IFLNK, "../../outside", false, 0}, {"top/abs", AE_IFLNK, "/etc", false, 0},
        {"top/hard", AE_IFREG, "top/ok", true, 0},    {"top/dev", AE_IFCHR, nullptr, false, 0},
        {"other/top", AE_IFREG, nullptr, false, 0},   {"top/sub/../../y", AE_IFREG, nullptr, false, 0},
        {"top/d", AE_IFDIR, nullptr, false, 0},       {"top/d/up", AE_IFLNK, "..", false, 0},
        {"top/here", AE_IFLNK, "d/up/..", false, 0},  {"top/etc", AE_IFLNK, "d/up/d/up/../../etc", false, 0},
        {"top/early", AE_IFLNK, "late/..", false, 0}, {"top/late", AE_IFLNK, "d/up", false, 0},
        {"top/d/in", AE_IFLNK, "up/ok", false, 0},
        // Entries that would stand where another one is, and vanish without a word, or make it vanish.
        {"top/l", AE_IFLNK, ".", false, 0},           {"top/l/x", AE_IFREG, nullptr, false, 0},
        {"top/ok", AE_IFREG, nullptr, false, 0},      {"top/ok/in", AE_IFREG, nullptr, false, 0},
        {"top/ok/d", AE_IFDIR, nullptr, false, 0},
    });
    fs::create_directory(dir / "in");
    tqr::TreeSink sink;
    ASSERT_EQ(extract(archive, dir / "in/top", 700, &sink), "");
    EXPECT_EQ(sink.refused().count(), 15u);
    for (const std::string& line : sink.refused().lines()) EXPECT_NE(line.find(": "), std::string::npos) << line;
    EXPECT_EQ(listing(dir.path()), (std::vector<std::string>{"in", "in/top", "in/top/d", "in/top/d/in", "in/top/d/up",
                                                             "in/top/l", "in/top/l/x", "in/top/late", "in/top/ok"}));
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
        ASSERT_TRUE(abandoned.write(archive.data(), 1000, &error));
    }
    EXPECT_EQ(listing(dir / "in").size(), 8u);

    // Twenty sparse entries of a terabyte each, a few bytes of archive: refused for what they claim.
    std::vector<Made> huge{{"big", AE_IFDIR, nullptr, false, 0}};
    std::vector<std::string> names;
    for (int i = 0; i < 20; ++i) names.push_back("big/" + std::to_string(i));
    for (const std::string& name : names) huge.push_back({name.c_str(), AE_IFREG, nullptr, false, int64_t{1} << 40});
    const std::string sparse = make_archive(huge);
    EXPECT_LT(sparse.size(), 1u << 20);
    tqr::TreeSink refused;
    EXPECT_NE(extract(sparse, dir / "in/big", 4096, &refused).find("claim more than the free space"), std::string::npos);
    refused.discard();
    EXPECT_FALSE(fs::exists(dir / "in/big"));

    // A link below 4 KiB of names (no UTF-8), too deep to be judged by its path, climbing out through d/up.
    std::vector<std::string> paths{"deep"};
    std::string climb = "d/up/..";
    for (int i = 0; i < 17; ++i, climb = "../" + climb) paths.push_back(paths.back() + "/" + std::string(250, '\xff'));
    const std::string esc = paths.back() + "/esc";
    std::vector<Made> deep{{"deep/d", AE_IFDIR, nullptr, false, 0}, {"deep/d/up", AE_IFLNK, "..", false, 0},
                           {esc.c_str(), AE_IFLNK, climb.c_str(), false, 0}};
    for (const std::string& path : paths) deep.insert(deep.end() - 3, {path.c_str(), AE_IFDIR, nullptr, false, 0});
    tqr::TreeSink deep_sink;
    ASSERT_EQ(extract(make_archive(deep), dir / "in/deep", 4096, &deep_sink), "");
    ASSERT_EQ(deep_sink.refused().count(), 1u);
    EXPECT_NE(deep_sink.refused().lines()[0].find("/esc: a link too deep in the folder to be checked"), std::string::npos);

    // Many refusals are counted, the first ones listed; links that each cost a look on disk stop when
    // the sink is discarded meanwhile from another thread, as an interruption does.
    std::vector<Made> many{{"many", AE_IFDIR, nullptr, false, 0}, {"many/s", AE_IFLNK, ".", false, 0}};
    std::vector<std::string> many_names;
    for (int i = 0; i < 3000; ++i) many_names.push_back("many/" + std::to_string(i));
    for (int i = 0; i < 3000; ++i) many.push_back({many_names[i].c_str(), i < 1200 ? AE_IFIFO : AE_IFLNK, i < 1200 ? nullptr : "s/..", false, 0});
    const std::string refusals = make_archive(many);
    tqr::TreeSink counted;
    ASSERT_EQ(extract(refusals, dir / "in/many", 65536, &counted), "");
    EXPECT_EQ(counted.refused().count(), 3000u);
    EXPECT_EQ(counted.refused().lines().size(), tqr::Refusals::kListed);
    fs::remove_all(dir / "in/many");
    const std::vector<std::string> before = listing(dir / "in");
    tqr::TreeSink stopped;
    ASSERT_TRUE(stopped.open(dir / "in/many", &error));
    ASSERT_TRUE(stopped.write(refusals.data(), refusals.size(), &error));
    std::thread finishing([&] { stopped.finish_extraction(); });
    stopped.discard();
    finishing.join();
    EXPECT_EQ(listing(dir / "in"), before);
}

// A file whose folder has no entry of its own, or has it only after the file (as `find -depth` lists
// them), and one that ends in a hole, arrive as they were meant.
TEST(TreeTest, AFileArrivesWholeWhereverItsEntryPutsIt) {
    TempDir dir;
    const std::string archive = make_archive({{"top", AE_IFDIR, nullptr, false, 0},
                                              {"top/no/folder/f", AE_IFREG, nullptr, false, 0},
                                              {"top/no", AE_IFDIR, nullptr, false, 0, 0700},
                                              {"top/holes", AE_IFREG, nullptr, false, int64_t{1} << 20}});
    fs::create_directory(dir / "in");
    tqr::TreeSink sink;
    ASSERT_EQ(extract(archive, dir / "in/top", 512, &sink), "");
    EXPECT_TRUE(sink.refused().lines().empty());
    EXPECT_EQ(read_file(dir / "in/top/no/folder/f"), "bytes");
    struct stat late {};
    ASSERT_EQ(stat((dir / "in/top/no").c_str(), &late), 0);
    EXPECT_EQ(late.st_mode & 07777, 0700u);
    std::string holes = read_file(dir / "in/top/holes");
    ASSERT_EQ(holes.size(), size_t{1} << 20);
    EXPECT_EQ(holes.substr(0, 5), "bytes");
    EXPECT_EQ(holes.find_first_not_of('\0', 5), std::string::npos);
}

// A folder swapped for a link after the scan, or a file replaced, sends nothing from elsewhere.
TEST(TreeTest, ASenderReadsOnlyWhatItScanned) {
    TempDir dir;
    fs::create_directories(dir / "top/sub");
    fs::create_directories(dir / "elsewhere");
    write_file(dir / "top/sub/f", "inside");
    write_file(dir / "elsewhere/f", "secret");
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"a symbolic link",
         [&] { fs::rename(dir / "top/sub", dir / "moved"), fs::create_directory_symlink(dir / "elsewhere", dir / "top/sub"); }},
        {"replaced", [&] { fs::copy_file(dir / "elsewhere/f", dir / "g"), fs::rename(dir / "g", dir / "top/sub/f"); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        tqr::TreeSource source;
        std::string error, archive;
        ASSERT_TRUE(source.scan(dir / "top", &error, [](const std::string&) {})) << error;
        c.second();
        tqr::TreeStream stream(source);
        char buffer[4096];
        ssize_t n;
        while ((n = stream.read(buffer, sizeof buffer)) > 0) archive.append(buffer, static_cast<size_t>(n));
        EXPECT_EQ(n, -1);
        EXPECT_NE(stream.error().find(c.first), std::string::npos) << stream.error();
        EXPECT_EQ(archive.find("secret"), std::string::npos);
        if (fs::is_symlink(dir / "top/sub")) fs::remove(dir / "top/sub"), fs::rename(dir / "moved", dir / "top/sub");
    }
    // What is skipped is told line by line up to a thousand, and the rest counted.
    fs::create_directory(dir / "fifos");
    for (int i = 0; i < 1100; ++i) ASSERT_EQ(mkfifo((dir / ("fifos/\xff" + std::to_string(i))).c_str(), 0600), 0);
    std::vector<std::string> told;
    {
        tqr::TreeSource fifos;
        std::string why;
        ASSERT_TRUE(fifos.scan(dir / "fifos", &why, [&](const std::string& line) { told.push_back(line); })) << why;
    }
    ASSERT_EQ(told.size(), 1001u);
    EXPECT_EQ(told.back(), "skipped 100 more entries, not listed");
    fs::remove_all(dir / "fifos");
    // A file written while it is read, in a folder and alone: no copy ends as if whole with parts of two
    // versions, even when its owner puts the modification time back after the write.
    const fs::path big = dir / "top/sub/big";
    write_file(big, std::string(1 << 20, 'a'));
    const timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
    auto rewrite = [&] {
        int fd = open(big.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, "b", 1, 0), 1);
        close(fd);
        EXPECT_EQ(utimensat(AT_FDCWD, big.c_str(), old, 0), 0);
    };
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), old, 0), 0);
    tqr::TreeSource source;
    std::string error;
    ASSERT_TRUE(source.scan(dir / "top", &error, [](const std::string&) {})) << error;
    tqr::TreeStream stream(source);
    std::vector<char> buffer(256 << 10);
    ssize_t n = stream.read(buffer.data(), buffer.size());
    rewrite();
    while (n > 0) n = stream.read(buffer.data(), buffer.size());
    EXPECT_EQ(n, -1);
    EXPECT_EQ(stream.error(), "top/sub/big changed while it was sent");
    ASSERT_EQ(utimensat(AT_FDCWD, big.c_str(), old, 0), 0);
    tqr::PayloadSource file;
    ASSERT_TRUE(file.open(big, false));
    const struct stat begun = file.version();
    EXPECT_TRUE(file.still(begun));
    rewrite();
    EXPECT_FALSE(file.still(begun));
    EXPECT_TRUE(file.still(file.version()));  // a link that begins now serves the new version
}

// The walk may run on a thread of its own while the sender joins: stopped, it makes no archive, and a
// source opened but never walked (or stopped) keeps no descriptor once it goes; nor does one too deep
// to send whole.
TEST(TreeTest, AStoppedOrSkippedWalkEndsCleanly) {
    TempDir dir;
    fs::create_directories(dir / "top/a/b");
    write_file(dir / "top/a/b/f", "x");
    write_file(dir / "loose", "y");
    auto open_descriptors = [] { return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()); };
    auto before = open_descriptors();
    for (bool set : {false, true}) {
        for (bool walk : {false, true}) {
            SCOPED_TRACE(std::string(set ? "set" : "folder") + (walk ? ", stopped" : ", never walked"));
            tqr::TreeSource source;
            std::string error;
            ASSERT_TRUE(set ? source.open_set({dir / "top", dir / "loose"}, "set", &error) : source.open(dir / "top", &error))
                << error;
            if (!walk) continue;
            source.stop();
            EXPECT_FALSE(source.list(&error, [](const std::string&) {}));
            EXPECT_EQ(source.archive_size(), 0u);
        }
    }
    // Nested deeper than a walk goes (with a level of its own per folder): no archive of part of it.
    fs::path deep = dir / "deep";
    for (int level = 0; level <= tqr::TreeSource::kMostDepth; ++level) deep /= "d";
    fs::create_directories(deep);
    write_file(deep / "leaf", "z");
    {
        tqr::TreeSource source;
        std::string error;
        ASSERT_TRUE(source.open(dir / "deep", &error)) << error;
        EXPECT_FALSE(source.list(&error, [](const std::string&) {}));
        EXPECT_EQ(error, "cannot send deep: its folders nest more than 512 deep");
    }
    EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
