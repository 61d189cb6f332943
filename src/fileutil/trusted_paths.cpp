// What the users who can write the scan folder could reach through it: the links on
// the folder's path, and the files linked into it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <deque>
#include <string>

#include "fileutil/fileutil.h"

namespace {

// Symbolic links followed on one path at most, as the kernel allows.
constexpr int k_most_links = 40;

// The components of `path`, in order, without empty ones.
std::deque<std::string> components(const std::string& path) {
    std::deque<std::string> parts;
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find('/', start), path.size());
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

}  // namespace

int open_trusted_folder(const char* path, std::string* unsafe) {
    unsafe->clear();
    // An empty name is no folder, as open() has it: never the working folder.
    if (path[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    // At the root, a component is opened by its absolute name rather than relative to
    // an open "/": an emulator that lays the target's system over "/" (qemu-user -L)
    // then still finds the real top-level folders.
    bool at_root = path[0] == '/';
    UniqueFd at(at_root ? -1 : open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::deque<std::string> parts = components(path);
    std::string walked = at_root ? "" : ".";
    int links = 0;
    while ((at_root || at.get() >= 0) && !parts.empty()) {
        const std::string name = parts.front();
        parts.pop_front();
        constexpr int k_flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
        UniqueFd next(at_root ? open(("/" + name).c_str(), k_flags) : openat(at.get(), name.c_str(), k_flags));
        struct stat st;
        if (next.get() < 0 || fstat(next.get(), &st) != 0) return -1;
        walked += "/" + name;
        if (!S_ISLNK(st.st_mode)) {
            at.reset(next.release());
            at_root = false;
            continue;
        }
        // Only root's links are followed: one that anybody else owns could have been
        // put there by whoever can write the folder that holds it.
        if (st.st_uid != 0) {
            *unsafe = "the symbolic link " + walked;
            *unsafe += " belongs to user " + std::to_string(st.st_uid);
            *unsafe += ", not root: make it root's (chown -h root " + walked;
            *unsafe += ") or name the folder itself";
            return -1;
        }
        char target[PATH_MAX];
        const ssize_t length = readlinkat(next.get(), "", target, sizeof target - 1);
        if (length < 0) return -1;
        if (++links > k_most_links) {
            errno = ELOOP;
            return -1;
        }
        const std::string text(target, static_cast<size_t>(length));
        std::deque<std::string> rest = components(text);
        parts.insert(parts.begin(), rest.begin(), rest.end());
        if (text[0] == '/') {
            at.reset();
            at_root = true;
        }
    }
    if (at_root) return open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (at.get() < 0) return -1;
    return openat(at.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

bool writers_could_read(const struct stat& folder, const struct stat& file) {
    const bool others_read = (file.st_mode & S_IROTH) != 0;
    if ((folder.st_mode & S_IWOTH) != 0 && !others_read) return false;
    // Group members are not listed here: they could read it as others, or as the
    // file's group when that is the folder's.
    if ((folder.st_mode & S_IWGRP) != 0 && !others_read &&
        !(file.st_gid == folder.st_gid && (file.st_mode & S_IRGRP) != 0))
        return false;
    // The folder's owner can always make it writable.
    if (folder.st_uid != 0 && !others_read &&
        !(file.st_uid == folder.st_uid && (file.st_mode & S_IRUSR) != 0))
        return false;
    return true;
}
