// Small file queries, time stamping, the error-file readers, and RAII handles.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

// Sizes and times of files as the device may have them: over 2 GiB, dated after 2038.
// The build asks for both (CMakeLists.txt); an older C library ignores the request.
static_assert(sizeof(off_t) == 8,
              "off_t is 32-bit: build with -D_FILE_OFFSET_BITS=64, or files over 2 GiB are skipped");
#ifndef CRATEFERRY_TIME32
static_assert(sizeof(time_t) == 8,
              "time_t is 32-bit: this C library has no 64-bit times (glibc 2.34 or later and "
              "musl 1.2 have them); -DCRATEFERRY_TIME32=ON builds anyway, and files dated "
              "after 2038 are then never sent or removed");
#endif

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// An owned descriptor, closed when it goes out of scope.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd& operator=(UniqueFd&&) = delete;
    ~UniqueFd() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    // Gives the descriptor up to the caller, who closes it.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// What an examination saw of a file: which file it is, and enough to tell whether it
// was written since.
struct FileState {
    time_t mtime;  // seconds
    long mtime_nsec;
    off_t size;
    dev_t device;
    ino_t inode;
};

// The same contents as far as time and size tell.
inline bool operator==(const FileState& a, const FileState& b) {
    return a.mtime == b.mtime && a.mtime_nsec == b.mtime_nsec && a.size == b.size;
}

// The same file, whatever its name now.
inline bool same_file(const FileState& a, const FileState& b) {
    return a.device == b.device && a.inode == b.inode;
}

inline FileState file_state_of(const struct stat& st) {
    return FileState{st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size, st.st_dev, st.st_ino};
}

// How the walk treats one folder entry.
enum class EntryKind { regular_file, other };

// The kind of an entry whose type the folder reported as `d_type` (DT_REG or
// DT_UNKNOWN, for file systems that do not report types), given what an examination
// without following links found: a regular file, or something else.
EntryKind entry_kind(unsigned char d_type, const struct stat& st);

// Calls act(name, state) for each regular file `dir` yields, in the order it yields
// them; other entries are skipped and folders not entered. The entry is examined
// relative to the open folder without following links, so the state is always that of
// the entry the walk found, and a link put in its place is skipped. An entry that may
// be a regular file but cannot be examined (other than one gone meanwhile) gets
// unexamined(name) instead, with errno telling why; a folder that cannot be read to
// its end gets unexamined(nullptr).
template <typename Action, typename Unexamined>
void for_each_regular_file(DIR* dir, Action act, Unexamined unexamined) {
    const int dir_fd = dirfd(dir);
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) unexamined(nullptr);
            return;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) continue;
        struct stat st {};
        if (fstatat(dir_fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) unexamined(entry->d_name);
            continue;
        }
        if (entry_kind(entry->d_type, st) == EntryKind::regular_file)
            act(entry->d_name, file_state_of(st));
    }
}

// Opens the folder `path` for reading (close-on-exec), walking it one component at a
// time: a symbolic link on the way, or as the folder itself, is followed only when
// root owns it. -1 when it cannot be opened: with *unsafe naming the link, its owner
// and the mend when a link stood in the way, else *unsafe empty and errno set.
int open_trusted_folder(const char* path, std::string* unsafe);

// True when every user who can write the folder `folder` could read the file `file`
// as well, going by owners, groups and modes: always when only root can write the
// folder. A second link to a file the writers could not read would
// otherwise hand them its contents on the server.
bool writers_could_read(const struct stat& folder, const struct stat& file);

// Opens the entry `name` of the folder `dir_fd` for reading, without following a link
// and without waiting on a FIFO, and checks on the open descriptor that it is a
// regular file and the very file the walk saw (`seen`'s device and inode), and, when
// it has more than one link, that the folder's writers could read it
// (writers_could_read). Returns the descriptor (close-on-exec), or -1 with the reason
// in `why` ("it is a symbolic link", "it is not a regular file", "it was replaced
// after the walk", "it has other links, and the users who can write the folder could
// not read it", or the system's error text).
int open_walked_file(int dir_fd, const char* name, const FileState& seen, std::string* why);

// Hex digits of a random_tag.
constexpr size_t k_temporary_tag_digits = 8;

// k_temporary_tag_digits lowercase hex digits from the kernel's random source; where
// it cannot be had yet (early at boot), from the clock and the process ID.
std::string random_tag();

// Opens /dev/null on each of the descriptors 0, 1 and 2 that is closed, so that no
// file the program opens later gets one of them: a tool's standard streams, or a
// shell's "2>", would then reach that file.
void open_standard_descriptors();

// Sets the access and modification times of the open file `fd` to `t`, nanoseconds
// included. On failure logs "modification of file %s failed: %m" with `path` at
// LOG_NOTICE.
void set_open_file_times(int fd, const char* path, const timespec& t);

// Size in bytes, or 0 when stat fails: a missing and an empty file count alike.
off_t file_size(const char* path);

// Writes `text` as the new file `path`, replacing whatever had that name (a link is
// replaced, never followed), with mode `mode` whatever the umask. False when it could
// not be written whole; the caller removes what is left.
bool write_new_file(const char* path, const std::string& text, mode_t mode);

// "%s/%s" of a folder and an entry name, never cut.
std::string join_path(const char* folder, const char* name);

// The first line of the file, at most 63 characters, without its line end; a leading
// empty line comes back as its bare line end. Empty when the file cannot be opened.
// Points into a per-thread buffer, valid until the next call on the thread.
const char* read_first_line(const char* path);

// Every line of the file without its line end, each followed by "; ", at most 2047
// characters in all; reading stops once fewer than 3 bytes are left. Empty when the
// file cannot be opened. Points into a static buffer, valid until the next call.
const char* read_all_lines(const char* path);
