// Starting one child process with a clean descriptor set and waiting for it.
//
// The child side of fork does descriptor work, execvp and _exit only: the argument
// vector is built before the fork, and nothing is logged from the child.
#include <fcntl.h>
#include <signal.h>
#include <syslog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "exec/exec.h"

namespace {

constexpr int k_max_args = 64;  // program name, 62 arguments, terminating null

// The one descriptor above 2 that children keep, or -1.
int kept_descriptor = -1;

// Closes the descriptors from `last` down to `first`. close_range does it in one
// call; the loop is for kernels without it.
void close_descriptors(int first, int last) {
    if (first > last) return;
#ifdef __linux__
    if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) return;
#endif
    for (int fd = last; fd >= first; --fd) close(fd);
}

// Closes every descriptor from getdtablesize() - 1 down to 3, but for those of
// `keep` (sorted, ascending), which stay open across exec.
void close_inherited_descriptors(const std::vector<int>& keep) {
    const int last = getdtablesize() - 1;
    int next = 3;
    for (const int fd : keep) {
        if (fd < next || fd > last) continue;
        (void)fcntl(fd, F_SETFD, 0);
        close_descriptors(next, fd - 1);
        next = fd + 1;
    }
    close_descriptors(next, last);
}

// `envp` null: the child keeps the program's environment and `argv[0]` is looked up
// in PATH; otherwise `argv[0]` is a full path and `envp` the whole environment.
// `output_fd`, unless -1, becomes the child's standard output.
[[noreturn]] void exec_child(char* const argv[], char* const envp[], const std::vector<int>& keep,
                             int output_fd) {
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd == null_fd) continue;
        close(fd);
        if (null_fd >= 0) dup2(null_fd, fd);
    }
    if (output_fd >= 0) dup2(output_fd, 1);
    close_inherited_descriptors(keep);
    if (envp == nullptr)
        execvp(argv[0], argv);
    else
        execve(argv[0], argv, envp);
    _exit(1);
}

// True when the environment entry `entry` sets the variable that `secret` sets.
bool same_variable(const char* entry, const std::string& secret) {
    const size_t name_length = secret.find('=');
    return strncmp(entry, secret.c_str(), name_length + 1) == 0;
}

// Starts the child; its PID, or -1. `open_files`: descriptors the child keeps besides
// the kept one.
pid_t spawn(char* const argv[], char* const envp[], const std::vector<int>& open_files,
            int output_fd) {
    // Built before the fork: the child only closes, duplicates and executes.
    std::vector<int> keep = open_files;
    if (kept_descriptor >= 0) keep.push_back(kept_descriptor);
    std::sort(keep.begin(), keep.end());
    const pid_t pid = fork();
    if (pid == 0) exec_child(argv, envp, keep, output_fd);
    return pid;
}

// The environment of a shell that gets `secrets`: the program's own, less the
// variables they set, then the secrets. Points into `secrets`.
std::vector<char*> environment_with(const std::vector<std::string>& secrets) {
    std::vector<char*> envp;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        bool replaced = false;
        for (const std::string& secret : secrets) replaced = replaced || same_variable(*entry, secret);
        if (!replaced) envp.push_back(*entry);
    }
    for (const std::string& secret : secrets) envp.push_back(const_cast<char*>(secret.c_str()));
    envp.push_back(nullptr);
    return envp;
}

}  // namespace

int run_command(const char* program, ...) {
    char* argv[k_max_args];
    int argc = 0;
    argv[argc++] = const_cast<char*>(program);
    va_list args;
    va_start(args, program);
    while (argc < k_max_args - 1) {
        char* arg = va_arg(args, char*);
        if (arg == nullptr) break;
        argv[argc++] = arg;
    }
    va_end(args);
    argv[argc] = nullptr;
    const pid_t pid = spawn(argv, nullptr, {}, -1);
    return pid < 0 ? -1 : wait_for_child(pid);
}

std::string open_file_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int exit_code(int status) {
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void keep_open_in_children(int fd) {
    kept_descriptor = fd;
}

int run_shell(const std::string& command) {
    return run_command("/bin/sh", "-c", command.c_str(), nullptr);
}

int run_shell_with_secrets(const std::string& command, const std::vector<std::string>& secrets,
                           const std::vector<int>& open_files) {
    const pid_t pid = start_shell_with_secrets(command, secrets, open_files);
    return pid < 0 ? -1 : wait_for_child(pid);
}

pid_t start_shell_with_secrets(const std::string& command, const std::vector<std::string>& secrets,
                               const std::vector<int>& open_files, int* output_fd) {
    // The child's standard streams take 0, 1 and 2: a file there would be read or
    // written as one of them.
    for (const int fd : open_files) {
        if (fd > 2) continue;
        syslog(LOG_ERR, "an open file is on descriptor %d, not above 2: the command is not run", fd);
        return -1;
    }
    int pipe_fds[2] = {-1, -1};
    if (output_fd != nullptr && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    std::vector<char*> envp = environment_with(secrets);
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.c_str()), nullptr};
    const pid_t pid = spawn(argv, envp.data(), open_files, pipe_fds[1]);
    if (output_fd == nullptr) return pid;
    // The child holds the write end now: the reader sees the end of the output
    // once the child and whatever it started are gone.
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        return -1;
    }
    *output_fd = pipe_fds[0];
    return pid;
}

int wait_for_child(pid_t pid) {
    int status = 0;
    // Interrupted waits are not retried: the program installs no signal handlers.
    if (waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

pid_t wait_for_any_child(int* status) {
    return waitpid(-1, status, 0);
}

void end_child(pid_t pid) {
    if (pid > 0) (void)kill(pid, SIGTERM);
}
