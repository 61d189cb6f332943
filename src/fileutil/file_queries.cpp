// File status queries, opening what the walk found, time stamping, writing a new file
// and path joining.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

#include "fileutil/fileutil.h"

off_t file_size(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 ? st.st_size : 0;
}

bool write_new_file(const char* path, const std::string& text, mode_t mode) {
    (void)unlink(path);
    const UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
    if (fd.get() < 0 || fchmod(fd.get(), mode) != 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd.get(), text.data() + written, text.size() - written);
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

std::string join_path(const char* folder, const char* name) {
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

EntryKind entry_kind(unsigned char d_type, const struct stat& st) {
    const bool may_be_regular = d_type == DT_REG || d_type == DT_UNKNOWN;
    return may_be_regular && S_ISREG(st.st_mode) ? EntryKind::regular_file : EntryKind::other;
}

int open_walked_file(int dir_fd, const char* name, const FileState& seen, std::string* why) {
    UniqueFd fd(openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) {
        *why = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
        return -1;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        *why = strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "it is not a regular file";
        return -1;
    }
    if (!same_file(file_state_of(st), seen)) {
        *why = "it was replaced after the walk";
        return -1;
    }
    struct stat folder;
    if (st.st_nlink > 1 && (fstat(dir_fd, &folder) != 0 || !writers_could_read(folder, st))) {
        *why = "it has other links, and the users who can write the folder could not read it";
        return -1;
    }
    return fd.release();
}

std::string random_tag() {
    uint32_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
        timespec now{};
        (void)clock_gettime(CLOCK_REALTIME, &now);
        value = static_cast<uint32_t>(now.tv_nsec) ^ static_cast<uint32_t>(now.tv_sec) * 2654435761U ^
                static_cast<uint32_t>(getpid()) << 16;
    }
    static const char hex[] = "0123456789abcdef";
    std::string tag(k_temporary_tag_digits, '0');
    for (size_t i = k_temporary_tag_digits; i-- > 0; value >>= 4) tag[i] = hex[value & 0xf];
    return tag;
}

void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: `fd` itself, as those below it are open. Without
        // /dev/null it stays closed, and the runner refuses such a descriptor.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            (void)dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

void set_open_file_times(int fd, const char* path, const timespec& t) {
    const struct timespec times[2] = {t, t};
    if (futimens(fd, times) != 0) syslog(LOG_NOTICE, "modification of file %s failed: %m", path);
}

