// Small file queries, time stamping, the error-file readers, and RAII handles.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

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

private:
    int fd_;
};

// What an examination saw of a file: enough to tell whether it was written since.
struct FileState {
    time_t mtime;  // seconds
    long mtime_nsec;
    off_t size;
};

inline bool operator==(const FileState& a, const FileState& b) {
    return a.mtime == b.mtime && a.mtime_nsec == b.mtime_nsec && a.size == b.size;
}

inline FileState file_state_of(const struct stat& st) {
    return FileState{st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
}

// Calls act(name, state) for each regular file `dir` yields, in the order it yields
// them; other entries are skipped and folders not entered. The file is examined
// relative to the open folder (following links), so the state is always that of the
// entry the walk found; all 0 when the entry cannot be examined.
template <typename Action>
void for_each_regular_file(DIR* dir, Action act) {
    const int dir_fd = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_type != DT_REG) continue;
        struct stat st;
        act(entry->d_name,
            fstatat(dir_fd, entry->d_name, &st, 0) == 0 ? file_state_of(st) : FileState{0, 0, 0});
    }
}

// The state of `path` now (stat follows links); false when stat fails.
bool file_state(const char* path, FileState* state);

// Modification time in seconds (stat follows links), or 0 when stat fails.
time_t file_mtime(const char* path);

// Size in bytes, or 0 when stat fails: a missing and an empty file count alike.
off_t file_size(const char* path);

// Sets access and modification time to `t` seconds. On failure logs
// "modification of file %s failed: %m" at LOG_NOTICE. Always returns 0.
int set_file_times(const char* path, time_t t);

// True when `path` names a directory (following links).
bool is_directory(const char* path);

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
