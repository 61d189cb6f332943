// Running shell commands as child processes, and quoting values for them.
//
// Rules a reader must not break:
// - children get /dev/null on descriptors 0, 1 and 2 (standard output a pipe when the
//   caller reads it, standard input a socket when the caller writes it), and no other
//   descriptor but the one keep_open_in_children names and the open files a command
//   is handed;
// - a child is waited for by its own PID only: nothing here reaps another's child;
// - every value placed into a command text goes through shell_quote (or a quoting
//   routine of the tool that reads it), so it reaches the tool as exactly itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Runs `program` with the given arguments (at most 62, up to the terminating null)
// and waits for it. Returns the raw wait status (0 when it exited with 0), or -1
// when no child could be created.
int run_command(const char* program, ...) __attribute__((sentinel));

// From now on every child keeps `fd` open (above 2; -1 for none). The upload lock is
// passed on this way, so that it stays held until the last process of a run has ended,
// even when the run itself was killed.
void keep_open_in_children(int fd);

// The exit code of a wait status as the shell tells it: the code of a child that
// exited, 128 plus the signal of one that was killed, -1 when no child ran.
int exit_code(int status);

// Runs "/bin/sh -c command"; returns what run_command returns.
int run_shell(const std::string& command);

// A child process this program started, owned by this one object: "/bin/sh -c
// command" in a process group of its own, so ending it ends whatever it started
// (a pipeline, a tool's helpers) and no command text needs to begin with "exec". A
// Child destroyed while its process runs ends the group with SIGKILL and reaps it:
// no child is ever left running or as a zombie.
class Child {
public:
    Child() = default;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // Starts "/bin/sh -c command" with `secrets` ("NAME=value" texts) added to its
    // environment (replacing variables of those names): a secret passed this way
    // reaches the command through "$NAME" and stands in no process's argument list.
    // The descriptors of `open_files` stay open in the child under their numbers, so
    // the command reaches each open file as open_file_path(fd), whatever became of
    // its name; one below 3 starts nothing, logged at LOG_ERR as "an open file is on
    // descriptor %d, not above 2: the command is not run". With `with_output` the
    // child's standard output is a pipe, read through output(); with `with_input` its
    // standard input is a socket, written through write_input(). started() is false
    // when no child could be made.
    static Child start(const std::string& command, const std::vector<std::string>& secrets,
                       const std::vector<int>& open_files, bool with_output = false,
                       bool with_input = false);
    // Starts `argv[0]`, looked up in PATH, with the program's own environment.
    static Child start_program(char* const argv[]);

    bool started() const { return pid_ > 0; }
    // True once its process ended and was reaped; status() is then its wait status.
    bool ended() const { return reaped_; }
    // The raw wait status once ended; -1 for a child that never started.
    int status() const { return status_; }
    // The read end of its standard output (close-on-exec), or -1.
    int output() const { return output_fd_; }
    // Appends to `into` what one read of its output gives; at the end of the output
    // (or on an error) closes it. Returns how many bytes came.
    size_t read_output(std::string* into);
    void close_output();
    // Writes what of `text` from byte `from` its standard input takes now, without
    // waiting; returns how many bytes that was. A child that is gone gets nothing, and
    // its input is closed.
    size_t write_input(const std::string& text, size_t from = 0);
    // Writes all of `text` to its standard input, waiting while it is full, then closes
    // it: for a child that reads all its input before it writes.
    void hand_input(const std::string& text);
    // The end of its input: the child reads to the end of what it was given.
    void close_input();
    // The write end of its standard input, or -1 (once closed, or without one).
    int input() const { return input_fd_; }
    // Asks its process group to end (SIGTERM), or with `kill` makes it (SIGKILL); wait()
    // or a wait over a set reaps it.
    void end(bool kill = false);
    // Waits until it ended and returns its wait status; -1 when it never started.
    int wait();
    // Reaps it when its process has ended, without waiting; true once it has ended.
    bool reap_if_ended();
    // A descriptor that becomes readable when its process ends (a pidfd), or -1 on
    // kernels without one.
    int end_descriptor() const { return end_fd_; }

private:
    void watch_end();
    void reaped(int status);
    void release();

    pid_t pid_ = -1;
    int output_fd_ = -1;
    int input_fd_ = -1;
    int end_fd_ = -1;
    int status_ = -1;
    bool reaped_ = false;
};

// Waits until one of `children` that has not ended has output to read, or has ended,
// or `timeout_ms` passed (-1: no limit); reaps those that ended (never another
// process's child). Returns the places in `children` of the ready ones (readable
// output, or newly ended); empty when none is left to wait for (at once) or the time
// ran out. A child with its output still open is ready while it has output; one whose
// process ended is ready once.
std::vector<size_t> wait_for_children(const std::vector<Child*>& children, int timeout_ms = -1);

// Runs "/bin/sh -c command" as Child::start does and waits for it; its wait status,
// or -1 when it could not be started.
int run_shell_with_secrets(const std::string& command, const std::vector<std::string>& secrets,
                           const std::vector<int>& open_files = {});

// The path under which a child that was handed the open file `fd` opens that same
// open file again: "/proc/self/fd/N". It reopens the file itself, not its name;
// /proc is there on every Linux system, where /dev/fd is not always.
std::string open_file_path(int fd);

// True for the characters the shell reads literally anywhere in an unquoted word:
// letters, digits and @%+=:,./_-
bool is_plain_char(char c);

// `value` unchanged when the shell would read it as one word exactly as it is
// (including the empty text, which stays empty); otherwise the value in single quotes.
std::string shell_quote(const std::string& value);

// True when `value` holds a character that the shell treats specially inside
// double quotes ('"', '\\', '$', '`'), or a line end.
bool breaks_double_quotes(const std::string& value);
