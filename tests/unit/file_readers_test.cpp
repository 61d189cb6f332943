// File queries, time stamping and the error-text readers, over real temporary files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fileutil/fileutil.h"

namespace {

// A fresh folder per test, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/crateferry-unit-XXXXXX";
        path_ = mkdtemp(name) != nullptr ? name : "";
    }
    ~TempDir() {
        if (!path_.empty()) (void)system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes `content` into the file `name` and returns its path.
    std::string file(const char* name, const std::string& content) const {
        const std::string file_path = path_ + "/" + name;
        UniqueFile file(fopen(file_path.c_str(), "w"));
        if (file) (void)fwrite(content.data(), 1, content.size(), file.get());
        return file_path;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct ReaderCase {
    const char* behaviour;
    bool exists;
    std::string content;
    std::string first_line;
    std::string all_lines;
};

}  // namespace

TEST(ErrorReaders, TurnAnErrorFileIntoOneLine) {
    const std::string hundred(100, 'x');
    const ReaderCase cases[] = {
        {"a missing file gives empty texts", false, "", "", ""},
        {"an empty file gives empty texts", true, "", "", ""},
        {"one line loses its line feed", true, "curl: (6) no host\n", "curl: (6) no host",
         "curl: (6) no host; "},
        {"a line without line feed is read whole", true, "last", "last", "last; "},
        {"CRLF line ends are removed", true, "one\r\ntwo\r\n", "one", "one; two; "},
        {"two lines are each followed by the separator", true, "first\nsecond\n", "first",
         "first; second; "},
        {"an empty first line is kept as its line feed", true, "\nsecond\n", "\n", "\n; second; "},
        {"an empty CRLF first line is kept as CR LF", true, "\r\nsecond\r\n", "\r\n", "\r\n; second; "},
        {"a 100-character first line gives its first 63", true, hundred + "\n",
         std::string(63, 'x'), hundred + "; "},
    };
    TempDir dir;
    for (const ReaderCase& c : cases) {
        const std::string path =
            c.exists ? dir.file("error", c.content) : dir.path() + "/missing";
        EXPECT_EQ(std::string(read_first_line(path.c_str())), c.first_line) << c.behaviour;
        EXPECT_EQ(std::string(read_all_lines(path.c_str())), c.all_lines) << c.behaviour;
    }
}

TEST(ErrorReaders, AllLinesStopCleanlyAtTheBufferSize) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 200; ++i) content += "line " + std::to_string(i) + " of a long error\n";
    const std::string joined = read_all_lines(dir.file("long", content).c_str());
    EXPECT_LE(joined.size(), 2047U);
    EXPECT_GE(joined.size(), 2040U);
    EXPECT_EQ(joined.compare(0, 24, "line 0 of a long error; "), 0);
    EXPECT_EQ(joined.find_first_of("\r\n"), std::string::npos);

    // One line longer than the buffer is read in pieces, every piece followed by "; ".
    const std::string single = read_all_lines(dir.file("single", std::string(5000, 'y')).c_str());
    EXPECT_LE(single.size(), 2047U);
    EXPECT_EQ(single.compare(single.size() - 2, 2, "; "), 0);
}

TEST(FileQueries, MissingPathsGiveZero) {
    TempDir dir;
    const std::string missing = dir.path() + "/missing";
    EXPECT_EQ(file_size(missing.c_str()), 0);
}

TEST(FileQueries, SizeAndTimesOfARealFile) {
    TempDir dir;
    const std::string path = dir.file("data", "12345");
    EXPECT_EQ(file_size(path.c_str()), 5);
    EXPECT_EQ(file_size(dir.file("empty", "").c_str()), 0);
    {
        const UniqueFd fd(open(path.c_str(), O_RDONLY));
        set_open_file_times(fd.get(), path.c_str(), timespec{1000000000, 123456789});
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_atime, 1000000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);
}

TEST(WalkedFiles, AnEntryIsARegularFileOnlyWhenWhatItIsSaysSo) {
    struct KindCase {
        const char* behaviour;
        unsigned char d_type;
        mode_t mode;
        EntryKind kind;
    };
    const KindCase cases[] = {
        {"a reported regular file is one", DT_REG, S_IFREG, EntryKind::regular_file},
        {"a reported regular file swapped for a link is skipped", DT_REG, S_IFLNK, EntryKind::other},
        {"an unknown type that is a regular file is one", DT_UNKNOWN, S_IFREG, EntryKind::regular_file},
        {"an unknown type that is a folder is skipped", DT_UNKNOWN, S_IFDIR, EntryKind::other},
        {"an unknown type that is a link is skipped", DT_UNKNOWN, S_IFLNK, EntryKind::other},
        {"a reported link is skipped", DT_LNK, S_IFREG, EntryKind::other},
    };
    for (const KindCase& c : cases) {
        struct stat st {};
        st.st_mode = c.mode;
        EXPECT_EQ(entry_kind(c.d_type, st), c.kind) << c.behaviour;
    }
}

TEST(WalkedFiles, OnlyTheRegularFileTheWalkSawIsOpened) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    struct stat st;
    ASSERT_EQ(stat(dir.file("seen", "walked").c_str(), &st), 0);
    const FileState seen = file_state_of(st);
    ASSERT_EQ(symlink((dir.path() + "/seen").c_str(), (dir.path() + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
    (void)dir.file("other", "another file");
    const UniqueFd folder(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    struct OpenCase {
        const char* name;
        const char* why;  // empty: opened
    };
    const OpenCase cases[] = {
        {"seen", ""},
        {"link", "it is a symbolic link"},
        {"fifo", "it is not a regular file"},
        {"other", "it was replaced after the walk"},
        {"missing", "No such file or directory"},
    };
    for (const OpenCase& c : cases) {
        std::string why;
        const UniqueFd fd(open_walked_file(folder.get(), c.name, seen, &why));
        EXPECT_EQ(fd.get() >= 0, c.why[0] == '\0') << c.name;
        EXPECT_EQ(why, c.why) << c.name;
    }
}

TEST(HardLinks, AFileLinkedIntoTheFolderGoesOnlyWhenEveryWriterCouldReadIt) {
    struct LinkCase {
        const char* behaviour;
        uid_t folder_uid;
        gid_t folder_gid;
        mode_t folder_mode;
        uid_t file_uid;
        gid_t file_gid;
        mode_t file_mode;
        bool sent;
    };
    const LinkCase cases[] = {
        {"only root writes the folder: anything goes", 0, 0, 0755, 0, 0, 0600, true},
        {"a user's folder, root's private file", 1000, 1000, 0755, 0, 0, 0600, false},
        {"a user's folder, a file everybody reads", 1000, 1000, 0700, 0, 0, 0644, true},
        {"a user's folder, the user's own file", 1000, 1000, 0700, 1000, 0, 0600, true},
        {"a user's folder, a file the user owns but cannot read", 1000, 1000, 0700, 1000, 0, 0200,
         false},
        {"a group writes the folder, a file of that group it reads", 0, 50, 0775, 0, 50, 0640, true},
        {"a group writes the folder, root's group-only file of another group", 0, 50, 0775, 0, 0,
         0640, false},
        {"root's group writes the folder: its members are writers too", 0, 0, 0775, 0, 0, 0600,
         false},
        {"everybody writes the folder, a file only its group reads", 0, 0, 01777, 0, 0, 0640,
         false},
        {"everybody writes the folder, a file everybody reads", 0, 0, 01777, 0, 0, 0644, true},
    };
    for (const LinkCase& c : cases) {
        struct stat folder {};
        struct stat file {};
        folder.st_uid = c.folder_uid;
        folder.st_gid = c.folder_gid;
        folder.st_mode = S_IFDIR | c.folder_mode;
        file.st_uid = c.file_uid;
        file.st_gid = c.file_gid;
        file.st_mode = S_IFREG | c.file_mode;
        EXPECT_EQ(writers_could_read(folder, file), c.sent) << c.behaviour;
    }
}
