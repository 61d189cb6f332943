// Running shell commands as child processes, and quoting values for them.
//
// Rules a reader must not break:
// - children always get /dev/null on descriptors 0, 1 and 2, and no other descriptor
//   but the one keep_open_in_children names and those a command is handed;
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

// Runs "/bin/sh -c command" with `secrets` ("NAME=value" texts) added to
// the child's environment (replacing variables of those names). A secret passed this
// way reaches the command through "$NAME" and stands in no process's argument list.
// The descriptors of `open_files` stay open in the child under their numbers, so
// the command reaches each open file as open_file_path(fd), whatever became of its
// name.
// Returns what run_command returns.
int run_shell_with_secrets(const std::string& command, const std::vector<std::string>& secrets,
                           const std::vector<int>& open_files = {});

// Starts "/bin/sh -c command" as run_shell_with_secrets does, without waiting for it.
// A descriptor of `open_files` below 3 starts nothing: logged at LOG_ERR as "an open
// file is on descriptor %d, not above 2: the command is not run", -1 comes back. With
// `output_fd`, the child's standard output is a pipe and *output_fd its read end
// (close-on-exec), which the caller closes. Returns the child's PID, or -1 when none
// could be started.
pid_t start_shell_with_secrets(const std::string& command, const std::vector<std::string>& secrets,
                               const std::vector<int>& open_files, int* output_fd = nullptr);

// Waits for the child `pid`; its wait status, or -1.
int wait_for_child(pid_t pid);

// Waits for whichever child ends first: its PID (or -1 when there is none), its wait
// status in *status.
pid_t wait_for_any_child(int* status);

// Asks a child this program started to end (SIGTERM to its PID only). A command
// meant to be ended this way begins with "exec", so its PID is the tool's own.
void end_child(pid_t pid);

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
