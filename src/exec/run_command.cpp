// Running a command and waiting for it, and the texts the runner shares with its
// callers: exit codes and the paths of open files.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdarg>
#include <string>

#include "exec/exec.h"

namespace {

constexpr int k_max_args = 64;  // program name, 62 arguments, terminating null

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
    return Child::start_program(argv).wait();
}

std::string open_file_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

int exit_code(int status) {
    if (status == -1) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int run_shell(const std::string& command) {
    return run_command("/bin/sh", "-c", command.c_str(), nullptr);
}

int run_shell_with_secrets(const std::string& command, const std::vector<std::string>& secrets,
                           const std::vector<int>& open_files) {
    return Child::start(command, secrets, open_files).wait();
}
