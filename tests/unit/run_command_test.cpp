// The command runner: raw wait statuses, the argument limit and a clean descriptor set.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "exec/exec.h"
#include "fileutil/fileutil.h"

namespace {

// A fresh folder per test, removed with its files afterwards.
class ScopedTempDir {
public:
    ScopedTempDir() {
        char pattern[] = "/tmp/run_command_test.XXXXXX";
        if (mkdtemp(pattern) != nullptr) path_ = pattern;
    }
    ~ScopedTempDir() {
        if (!path_.empty()) (void)run_command("/bin/rm", "-rf", path_.c_str(), nullptr);
    }
    std::string file(const char* name) const { return path_ + "/" + name; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
};

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RunCommand, ExitCodeComesBackAsRawWaitStatus) {
    EXPECT_EQ(run_command("/bin/sh", "-c", "exit 19", nullptr), 19 * 256);
}

TEST(RunCommand, SuccessIsZero) {
    EXPECT_EQ(run_command("/bin/true", nullptr), 0);
}

TEST(RunCommand, MissingProgramLooksLikeExitCodeOne) {
    EXPECT_EQ(run_command("/nonexistent/crateferry-no-such-program", nullptr), 256);
}

TEST(RunCommand, SignalledChildReportsTheSignal) {
    const int status = run_command("/bin/sh", "-c", "kill -TERM $$", nullptr);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

TEST(RunCommand, OutputWithoutRedirectionIsLost) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    // Point this process's standard output and error at a file for the call: the
    // child must not write into them.
    const std::string capture = dir.file("parent_output");
    UniqueFd capture_fd(open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
    ASSERT_GE(capture_fd.get(), 0);
    fflush(stdout);
    UniqueFd saved_out(dup(1));
    UniqueFd saved_err(dup(2));
    ASSERT_GE(dup2(capture_fd.get(), 1), 0);
    ASSERT_GE(dup2(capture_fd.get(), 2), 0);
    const int status = run_command("/bin/sh", "-c", "echo out; echo err >&2", nullptr);
    dup2(saved_out.get(), 1);
    dup2(saved_err.get(), 2);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_text(capture), "");
}

TEST(RunCommand, ChildReadsEndOfFileOnStandardInput) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string out = dir.file("input");
    const std::string script = "cat > " + out;
    EXPECT_EQ(run_command("/bin/sh", "-c", script.c_str(), nullptr), 0);
    EXPECT_EQ(read_text(out), "");
}

TEST(RunCommand, OnlyTheFirst62ArgumentsReachTheChild) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string out = dir.file("count");
    const std::string script = "echo $# $0 ${59} > " + out;
    const char* a = "a";
#define TEN_ARGS a, a, a, a, a, a, a, a, a, a
    // "-c", the script, then 70 more: the child gets "-c", the script, $0 and 59
    // positional parameters, 62 arguments after the program name.
    const int status = run_command("/bin/sh", "-c", script.c_str(), TEN_ARGS, TEN_ARGS, TEN_ARGS,
                                   TEN_ARGS, TEN_ARGS, TEN_ARGS, TEN_ARGS, nullptr);
#undef TEN_ARGS
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_text(out), "59 a a\n");
}

TEST(RunCommand, SixtyTwoArgumentsAllArrive) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string out = dir.file("count");
    const std::string script = "echo $# ${59} > " + out;
    const char* a = "a";
    const char* z = "z";
#define TEN_ARGS a, a, a, a, a, a, a, a, a, a
    const int status = run_command("/bin/sh", "-c", script.c_str(), TEN_ARGS, TEN_ARGS, TEN_ARGS,
                                   TEN_ARGS, TEN_ARGS, a, a, a, a, a, a, a, a, a, z, nullptr);
#undef TEN_ARGS
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_text(out), "59 z\n");
}

// The descriptors of the shell that run_command starts, as "fd target" lines. find
// writes the list itself, so the shell makes no redirection of its own; the trailing
// ":" keeps the shell from replacing itself with find.
std::string child_descriptors(const ScopedTempDir& dir) {
    const std::string out = dir.file("fds");
    const std::string script =
        "find /proc/$$/fd -mindepth 1 -fprintf " + out + " '%f %l\\n'; :";
    EXPECT_EQ(run_command("/bin/sh", "-c", script.c_str(), nullptr), 0);
    return read_text(out);
}

TEST(RunCommand, ChildHasDevNullOnZeroToTwoAndNoOtherDescriptor) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    // A descriptor the parent holds open without close-on-exec must not leak.
    const std::string extra = dir.file("extra");
    UniqueFd extra_fd(open(extra.c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_GE(extra_fd.get(), 0);
    EXPECT_EQ(child_descriptors(dir), "0 /dev/null\n1 /dev/null\n2 /dev/null\n");
}

TEST(RunCommand, ChildKeepsTheOneDescriptorItIsToldToKeep) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    // Close-on-exec as the upload lock is, between two descriptors that must close.
    UniqueFd before(open(dir.file("before").c_str(), O_WRONLY | O_CREAT, 0600));
    UniqueFd lock(open(dir.file("lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    UniqueFd after(open(dir.file("after").c_str(), O_WRONLY | O_CREAT, 0600));
    ASSERT_GE(after.get(), 0);
    keep_open_in_children(lock.get());
    const std::string kept = child_descriptors(dir);
    keep_open_in_children(-1);
    EXPECT_EQ(kept, "0 /dev/null\n1 /dev/null\n2 /dev/null\n" + std::to_string(lock.get()) +
                        " " + dir.file("lock") + "\n");
    EXPECT_EQ(child_descriptors(dir), "0 /dev/null\n1 /dev/null\n2 /dev/null\n");
}

TEST(RunCommand, ACommandReadsTheFilesItIsHandedThoughTheirNamesWereReplaced) {
    ScopedTempDir dir;
    ASSERT_TRUE(dir.ok());
    UniqueFd lock(open(dir.file("lock").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const std::string first = dir.file("first");
    const std::string second = dir.file("second");
    for (const std::string& path : {first, second}) {
        UniqueFile file(fopen(path.c_str(), "w"));
        ASSERT_TRUE(file);
        (void)fputs(path == first ? "one" : "two", file.get());
    }
    UniqueFd one(open(first.c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd two(open(second.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(two.get(), 0);
    // The names now lead elsewhere; the open files are what the command gets.
    ASSERT_EQ(rename(second.c_str(), first.c_str()), 0);
    const std::string out = dir.file("out");
    const std::string fds = dir.file("fds");
    keep_open_in_children(lock.get());
    const int status = run_shell_with_secrets(
        "cat " + open_file_path(one.get()) + " " + open_file_path(two.get()) +
            " > " + out + "; find /proc/$$/fd -mindepth 1 -fprintf " + fds + " '%f\\n'; :",
        {}, {two.get(), one.get()});
    keep_open_in_children(-1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(read_text(out), "onetwo");
    std::vector<int> kept = {0, 1, 2, lock.get(), one.get(), two.get()};
    std::vector<int> seen;
    std::istringstream listed(read_text(fds));
    for (int fd; listed >> fd;) seen.push_back(fd);
    std::sort(kept.begin(), kept.end());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, kept);
}

}  // namespace

TEST(RunShellWithSecrets, TheCommandReadsEachSecretFromItsEnvironment) {
    struct SecretCase {
        const char* behaviour;
        std::vector<std::string> secrets;
        const char* script;  // prints what it sees
        std::string expected;
    };
    const std::string hostile = "p$\"\\'` :#x\n\r%s-$(touch pwned)";
    const std::vector<SecretCase> cases = {
        {"a hostile value arrives byte for byte", {"CF_SECRET=" + hostile},
         "printf '%s' \"$CF_SECRET\"", hostile},
        {"two secrets both arrive", {"CF_A=a", "CF_B=b"}, "printf '%s,%s' \"$CF_A\" \"$CF_B\"", "a,b"},
        {"a secret replaces a variable of the same name", {"HOME=/secret-home"},
         "printf '%s' \"$HOME\"", "/secret-home"},
        {"the rest of the environment stays", {"CF_A=a"}, "printf '%s' \"$CF_KEPT\"", "kept"},
    };
    ASSERT_EQ(setenv("CF_KEPT", "kept", 1), 0);
    for (const SecretCase& c : cases) {
        ScopedTempDir dir;
        ASSERT_TRUE(dir.ok());
        const std::string output = dir.file("seen");
        const std::string command = std::string("{ ") + c.script + "; } > " + output;
        EXPECT_EQ(run_shell_with_secrets(command, c.secrets), 0) << c.behaviour;
        EXPECT_EQ(read_text(output), c.expected) << c.behaviour;
    }
    unsetenv("CF_KEPT");
}

// Children started together, some with output, one ended early: each is reaped exactly
// once, by its own PID, and a child of the test's own is never reaped by the set.
TEST(ChildSet, EachChildIsReapedOnceAndNoOtherChildIsTouched) {
    struct ChildCase {
        const char* behaviour;
        const char* command;
        bool with_output;
        const char* output;
        int exit_code;  // -1: ended by the test (SIGTERM to its group)
        const char* input = nullptr;  // handed on its standard input, then its end
    };
    const ChildCase cases[] = {
        {"a quick child with output", "echo one", true, "one\n", 0},
        {"a child that fails", "sleep 0.2; exit 3", false, "", 3},
        {"output written in pieces", "printf a; sleep 0.1; printf b", true, "ab", 0},
        {"a pipeline ended early, all of its group", "sleep 30 | sleep 30", false, "", -1},
        {"a child reads what it is handed, to its end", "tr a-z A-Z", true, "TWO\n", 0, "two\n"},
    };
    char* sleeper_argv[] = {const_cast<char*>("/bin/sleep"), const_cast<char*>("1"), nullptr};
    Child outsider = Child::start_program(sleeper_argv);  // not in the set
    std::vector<Child> children;
    for (const ChildCase& c : cases) {
        children.push_back(Child::start(c.command, {}, {}, c.with_output, c.input != nullptr));
        if (c.input == nullptr) continue;
        EXPECT_EQ(children.back().write_input(c.input), strlen(c.input)) << c.behaviour;
        children.back().close_input();
    }
    std::vector<Child*> set;
    for (Child& child : children) set.push_back(&child);
    std::vector<std::string> outputs(children.size());
    children[3].end();
    for (std::vector<size_t> ready; !(ready = wait_for_children(set)).empty();) {
        for (const size_t i : ready) {
            if (children[i].output() < 0) continue;
            char buffer[64];
            const ssize_t n = read(children[i].output(), buffer, sizeof buffer);
            if (n > 0) outputs[i].append(buffer, static_cast<size_t>(n));
            else children[i].close_output();
        }
    }
    for (size_t i = 0; i < children.size(); ++i) {
        const ChildCase& c = cases[i];
        ASSERT_TRUE(children[i].ended()) << c.behaviour;
        EXPECT_EQ(outputs[i], c.output) << c.behaviour;
        if (c.exit_code >= 0)
            EXPECT_EQ(exit_code(children[i].status()), c.exit_code) << c.behaviour;
        else
            EXPECT_TRUE(WIFSIGNALED(children[i].status())) << c.behaviour;
    }
    EXPECT_FALSE(outsider.ended());
    EXPECT_EQ(exit_code(outsider.wait()), 0);
}

TEST(ChildSet, WritingToAChildThatIsGoneIsNoSignalAndClosesItsInput) {
    Child child = Child::start("exit 0", {}, {}, false, /*with_input=*/true);
    ASSERT_GE(child.input(), 0);
    EXPECT_EQ(exit_code(child.wait()), 0);
    EXPECT_EQ(child.write_input("too late\n"), 0U);  // no SIGPIPE ends the test here
    EXPECT_EQ(child.input(), -1);
}

TEST(ChildSet, AChildLeftRunningIsEndedAndReapedWithItsOwner) {
    {
        Child child = Child::start("sleep 30", {}, {});
        ASSERT_TRUE(child.started());
        Child moved = std::move(child);  // one owner at a time
        EXPECT_FALSE(child.started());   // NOLINT(bugprone-use-after-move): what a move leaves
    }
    // Nothing of this test is left to reap.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
