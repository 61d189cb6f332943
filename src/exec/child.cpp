// Child processes: starting one with a clean descriptor set in a process group of its
// own, owning it until it is reaped, and waiting on several at once.
//
// The child side of fork does descriptor work, execvp and _exit only: the argument
// vector and environment are built before the fork, and nothing is logged from the
// child.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "exec/exec.h"

namespace {

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
// `input_fd` and `output_fd`, unless -1, become the child's standard input and output.
[[noreturn]] void exec_child(char* const argv[], char* const envp[], const std::vector<int>& keep,
                             int input_fd, int output_fd) {
    // A group of its own: ending the child ends all it started.
    (void)setpgid(0, 0);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd == null_fd) continue;
        close(fd);
        if (null_fd >= 0) dup2(null_fd, fd);
    }
    if (input_fd >= 0) dup2(input_fd, 0);
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
            int input_fd, int output_fd) {
    // Built before the fork: the child only closes, duplicates and executes.
    std::vector<int> keep = open_files;
    if (kept_descriptor >= 0) keep.push_back(kept_descriptor);
    std::sort(keep.begin(), keep.end());
    const pid_t pid = fork();
    if (pid == 0) exec_child(argv, envp, keep, input_fd, output_fd);
    // Also here, so that the group exists before anyone signals it; the child's own
    // call makes it so before exec either way.
    if (pid > 0) (void)setpgid(pid, pid);
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

void keep_open_in_children(int fd) {
    kept_descriptor = fd;
}

Child Child::start(const std::string& command, const std::vector<std::string>& secrets,
                   const std::vector<int>& open_files, bool with_output, bool with_input) {
    Child child;
    // The child's standard streams take 0, 1 and 2: a file there would be read or
    // written as one of them.
    for (const int fd : open_files) {
        if (fd > 2) continue;
        syslog(LOG_ERR, "an open file is on descriptor %d, not above 2: the command is not run", fd);
        return child;
    }
    int pipe_fds[2] = {-1, -1};
    if (with_output && pipe2(pipe_fds, O_CLOEXEC) != 0) return child;
    // A socket rather than a pipe, so that writing to a child that is gone is an
    // error (MSG_NOSIGNAL), not a SIGPIPE.
    int input_fds[2] = {-1, -1};
    if (with_input && socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input_fds) != 0) {
        if (pipe_fds[0] >= 0) close(pipe_fds[0]);
        if (pipe_fds[1] >= 0) close(pipe_fds[1]);
        return child;
    }
    std::vector<char*> envp = environment_with(secrets);
    char* argv[] = {const_cast<char*>("/bin/sh"), const_cast<char*>("-c"),
                    const_cast<char*>(command.c_str()), nullptr};
    child.pid_ = spawn(argv, envp.data(), open_files, input_fds[1], pipe_fds[1]);
    // The child holds the other ends now: the reader sees the end of the output once
    // the child and whatever it started are gone, and the child the end of its input
    // once close_input() is called.
    if (pipe_fds[1] >= 0) close(pipe_fds[1]);
    if (input_fds[1] >= 0) close(input_fds[1]);
    child.output_fd_ = pipe_fds[0];
    child.input_fd_ = input_fds[0];
    child.watch_end();
    return child;
}

Child Child::start_program(char* const argv[]) {
    Child child;
    child.pid_ = spawn(argv, nullptr, {}, -1, -1);
    return child;
}

void Child::watch_end() {
#ifdef SYS_pidfd_open
    if (pid_ > 0) end_fd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
#endif
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
    if (this == &other) return *this;
    release();
    pid_ = other.pid_;
    output_fd_ = other.output_fd_;
    input_fd_ = other.input_fd_;
    end_fd_ = other.end_fd_;
    status_ = other.status_;
    reaped_ = other.reaped_;
    other.pid_ = other.output_fd_ = other.input_fd_ = other.end_fd_ = -1;
    other.reaped_ = false;
    return *this;
}

Child::~Child() { release(); }

void Child::release() {
    if (pid_ > 0 && !reaped_) {
        (void)kill(-pid_, SIGKILL);
        (void)wait();
    }
    close_output();
    close_input();
    if (end_fd_ >= 0) close(end_fd_);
    end_fd_ = -1;
}

void Child::close_output() {
    if (output_fd_ >= 0) close(output_fd_);
    output_fd_ = -1;
}

size_t Child::read_output(std::string* into) {
    if (output_fd_ < 0) return 0;
    char buffer[4096];
    const ssize_t n = read(output_fd_, buffer, sizeof buffer);
    if (n > 0) {
        into->append(buffer, static_cast<size_t>(n));
        return static_cast<size_t>(n);
    }
    if (n == 0 || errno != EINTR) close_output();
    return 0;
}

void Child::close_input() {
    if (input_fd_ >= 0) close(input_fd_);
    input_fd_ = -1;
}

size_t Child::write_input(const std::string& text, size_t from) {
    if (input_fd_ < 0 || from >= text.size()) return 0;
    ssize_t n;
    while ((n = send(input_fd_, text.data() + from, text.size() - from,
                     MSG_NOSIGNAL | MSG_DONTWAIT)) < 0 &&
           errno == EINTR) {}
    if (n >= 0) return static_cast<size_t>(n);
    // Gone, or not reading: what it could not take stays with the caller, or is dropped
    // with the input of a child that is gone.
    if (errno != EAGAIN && errno != EWOULDBLOCK) close_input();
    return 0;
}

void Child::hand_input(const std::string& text) {
    for (size_t done = 0; input_fd_ >= 0 && done < text.size();) {
        done += write_input(text, done);
        pollfd writable = {input_fd_, POLLOUT, 0};
        if (input_fd_ >= 0 && done < text.size()) (void)poll(&writable, 1, -1);
    }
    close_input();
}

void Child::end(bool kill_now) {
    if (pid_ > 0 && !reaped_) (void)kill(-pid_, kill_now ? SIGKILL : SIGTERM);
}

void Child::reaped(int status) {
    status_ = status;
    reaped_ = true;
}

int Child::wait() {
    if (pid_ <= 0 || reaped_) return status_;
    int status = 0;
    // Interrupted waits are retried: a stray signal must not leave a zombie behind.
    pid_t got;
    while ((got = waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {}
    reaped(got == pid_ ? status : -1);
    return status_;
}

bool Child::reap_if_ended() {
    if (pid_ <= 0 || reaped_) return reaped_;
    int status = 0;
    const pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) reaped(status);
    else if (got < 0 && errno == ECHILD) reaped(-1);
    return reaped_;
}

std::vector<size_t> wait_for_children(const std::vector<Child*>& children, int timeout_ms) {
    // Without pidfds, ends are looked for at this interval.
    constexpr int k_end_check_ms = 50;
    std::vector<pollfd> watched;
    std::vector<size_t> owner;
    bool polled_ends = false;
    for (size_t i = 0; i < children.size(); ++i) {
        const Child& child = *children[i];
        if (!child.started()) continue;
        if (child.output() >= 0) {
            watched.push_back({child.output(), POLLIN, 0});
            owner.push_back(i);
        }
        if (child.ended()) continue;
        if (child.end_descriptor() >= 0) {
            watched.push_back({child.end_descriptor(), POLLIN, 0});
            owner.push_back(i);
        } else {
            polled_ends = true;
        }
    }
    std::vector<size_t> ready;
    if (watched.empty() && !polled_ends) return ready;
    int wait_ms = timeout_ms;
    if (polled_ends && (wait_ms < 0 || wait_ms > k_end_check_ms)) wait_ms = k_end_check_ms;
    if (poll(watched.data(), watched.size(), wait_ms) < 0 && errno != EINTR) return ready;
    for (size_t w = 0; w < watched.size(); ++w)
        if (watched[w].revents != 0) ready.push_back(owner[w]);
    for (size_t i = 0; i < children.size(); ++i) {
        Child& child = *children[i];
        if (child.started() && !child.ended() && child.reap_if_ended()) ready.push_back(i);
    }
    std::sort(ready.begin(), ready.end());
    ready.erase(std::unique(ready.begin(), ready.end()), ready.end());
    return ready;
}
