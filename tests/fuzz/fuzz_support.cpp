// Helpers of the fuzz targets: input splitting, failure reports, children, temp folders.
#include "fuzz_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::vector<std::string> split_input(const uint8_t* data, size_t size, size_t count) {
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<std::string> parts;
    size_t start = 0;
    while (parts.size() + 1 < count) {
        const void* nul = start < size ? memchr(text + start, '\0', size - start) : nullptr;
        if (nul == nullptr) break;
        const size_t end = static_cast<size_t>(static_cast<const char*>(nul) - text);
        parts.emplace_back(text + start, end - start);
        start = end + 1;
    }
    parts.emplace_back(text + std::min(start, size), size - std::min(start, size));
    parts.resize(count);
    return parts;
}

std::string without_nul(const std::string& text) {
    std::string kept = text;
    kept.erase(std::remove(kept.begin(), kept.end(), '\0'), kept.end());
    return kept;
}

std::string printable(const std::string& text) {
    std::string shown;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7f && byte != '\\') {
            shown += c;
        } else {
            char escaped[8];
            (void)snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            shown += escaped;
        }
    }
    return shown;
}

void property_failed(const char* property, const std::string& detail) {
    fprintf(stderr, "\nPROPERTY BROKEN: %s\n%s\n", property, detail.c_str());
    fflush(stderr);
    abort();
}

ChildResult run_child(const std::vector<std::string>& argv, const std::string& folder,
                      const std::vector<std::string>& environment) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> variables;
    for (const std::string& variable : environment)
        variables.push_back(const_cast<char*>(variable.c_str()));
    variables.push_back(nullptr);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return {-1, ""};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    pid_t pid;
    const int spawned =
        posix_spawn(&pid, args[0], &actions, nullptr, args.data(), variables.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    if (spawned != 0) {
        close(pipe_fds[0]);
        return {-1, ""};
    }
    ChildResult result{-1, ""};
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) != 0) {
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) break;
        result.output.append(chunk, static_cast<size_t>(got));
    }
    close(pipe_fds[0]);
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

TempFolder::TempFolder() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/crateferry-fuzz.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) property_failed("a temporary folder can be made", pattern);
    path_ = pattern;
}

TempFolder::~TempFolder() {
    remove_tree(path_);
}

static int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path) == 0 || errno == ENOENT ? 0 : -1;
}

void remove_tree(const std::string& path) {
    (void)nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> folder_entries(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::string file_content(const std::string& path) {
    std::string content;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) return content;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, got);
    fclose(file);
    return content;
}

void write_file(const std::string& path, const std::string& content) {
    FILE* file = fopen(path.c_str(), "wb");
    const bool written =
        file != nullptr && fwrite(content.data(), 1, content.size(), file) == content.size();
    if (file != nullptr && fclose(file) != 0) property_failed("a file can be written", path);
    if (!written) property_failed("a file can be written", path);
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(const std::string& encoded, std::string* decoded) {
    decoded->clear();
    for (size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] != '%') {
            *decoded += encoded[i];
            continue;
        }
        if (i + 2 >= encoded.size()) return false;
        const int high = hex_value(encoded[i + 1]);
        const int low = hex_value(encoded[i + 2]);
        if (high < 0 || low < 0) return false;
        *decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}
