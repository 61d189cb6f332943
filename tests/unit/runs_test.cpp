// The plan of an upload's transfers, the retry policy and the reading of batch
// results: pure decisions, tested without any server.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transfer/runs.h"
#include "transfer/size_check.h"

namespace {

TEST(Plan, FilesAreSplitIntoContiguousRunsOfAboutEqualSize) {
    struct SplitCase {
        const char* behaviour;
        size_t count;
        unsigned transfers;
        std::vector<size_t> sizes;
    };
    const SplitCase cases[] = {
        {"one transfer takes every file", 5, 1, {5}},
        {"four at once over ten files", 10, 4, {2, 3, 2, 3}},
        {"fewer files than transfers: one run a file", 2, 4, {1, 1}},
        {"no file, no run", 0, 4, {}},
        {"0 asked counts as one", 3, 0, {3}},
    };
    for (const SplitCase& c : cases) {
        const std::vector<RunPart> parts = split_into_runs(c.count, c.transfers);
        std::vector<size_t> sizes;
        size_t next = 0;
        for (const RunPart& part : parts) {
            EXPECT_EQ(part.first, next) << c.behaviour;
            next += part.count;
            sizes.push_back(part.count);
        }
        EXPECT_EQ(sizes, c.sizes) << c.behaviour;
    }
}

TEST(Plan, TransfersAtOnceAreBoundByFilesAndOpenFiles) {
    struct AtOnceCase {
        const char* behaviour;
        unsigned asked;
        size_t files;
        size_t open_allowed;
        unsigned at_once;
    };
    const AtOnceCase cases[] = {
        {"as asked", 4, 100, 1000, 4},
        {"no more than files", 4, 2, 1000, 2},
        {"no more than the open-file limit allows", 8, 100, 3, 3},
        {"at least one, with no file", 4, 0, 1000, 1},
        {"at least one, with no open file allowed", 4, 10, 0, 1},
    };
    for (const AtOnceCase& c : cases)
        EXPECT_EQ(transfers_at_once(c.asked, c.files, c.open_allowed), c.at_once) << c.behaviour;
}

TEST(RetryPolicy, ThreeAttemptsThenTheFileFailsOrTheRunStopsOnADeadLink) {
    struct StepCase {
        const char* behaviour;
        Outcome outcome;
        int attempt;
        NextStep step;
    };
    const StepCase cases[] = {
        {"a sent file is done", Outcome::sent, 1, NextStep::done},
        {"a failed first attempt is tried again", Outcome::failed, 1, NextStep::retry},
        {"a stalled second attempt is tried again", Outcome::stalled, 2, NextStep::retry},
        {"a failed third attempt gives the file up", Outcome::failed, 3, NextStep::give_up},
        {"a stalled third attempt stops the run", Outcome::stalled, 3, NextStep::stop_run},
        {"an unreachable server on the third stops the run", Outcome::unreachable, 3,
         NextStep::stop_run},
        {"a third attempt that went is done", Outcome::sent, 3, NextStep::done},
    };
    for (const StepCase& c : cases)
        EXPECT_EQ(after_attempt(c.outcome, c.attempt), c.step) << c.behaviour;
}

TEST(BatchResults, EachResultLineIsReadAsCurlWroteIt) {
    struct LineCase {
        const char* behaviour;
        const char* line;
        bool read;
        size_t urlnum;
        int exit_code;
        const char* error;  // what a failure logs
    };
    const LineCase cases[] = {
        {"a sent file", "crateferry-result 0 0 \n", true, 0, 0, "curl: (0)"},
        {"a failure with curl's text", "crateferry-result 3 9 Access denied: 530\n", true, 3, 9,
         "curl: (9) Access denied: 530"},
        {"without its line feed", "crateferry-result 1 28 Operation timed out", true, 1, 28,
         "curl: (28) Operation timed out"},
        {"a long text is cut to 63 characters",
         "crateferry-result 0 25 " "Failed FTP upload: 553 this reply goes on and on and on and on\n",
         true, 0, 25, "curl: (25) Failed FTP upload: 553 this reply goes on and on and"},
        {"another line of curl's output", "226 Transfer complete\n", false, 0, 0, ""},
        {"the mark inside a line", "x crateferry-result 0 0\n", false, 0, 0, ""},
    };
    for (const LineCase& c : cases) {
        ResultLine result{};
        ASSERT_EQ(read_result_line(c.line, &result), c.read) << c.behaviour;
        if (!c.read) continue;
        EXPECT_EQ(result.urlnum, c.urlnum) << c.behaviour;
        EXPECT_EQ(result.exit_code, c.exit_code) << c.behaviour;
        EXPECT_EQ(batch_error_text(result), c.error) << c.behaviour;
    }
}

TEST(SizeAnswers, EachToolsAnswerIsReadAsTheSizeTheServerHolds) {
    using K = ReportedSize::Kind;
    struct AnswerCase {
        const char* behaviour;
        std::string output;
        std::vector<ReportedSize> sizes;
    };
    const AnswerCase curl_cases[] = {
        {"FTP SIZE as curl shows it, then a missing file",
         "Last-Modified: Wed, 09 Dec 2026 05:10:25 GMT\r\nContent-Length: 777\r\n"
         "Accept-ranges: bytes\r\ncrateferry-size 0\ncrateferry-size 78\n",
         {{K::bytes, 777}, {K::no_file, 0}}},
        {"a server that refuses SIZE: no size", "Accept-ranges: bytes\r\ncrateferry-size 0\n",
         {{K::unknown, 0}}},
        {"HTTP: a HEAD with its length, and a 404 with a length of 0",
         "HTTP/1.1 200 OK\r\nContent-Length: 40000\r\n\r\ncrateferry-size 0\n"
         "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\ncrateferry-size 0\n",
         {{K::bytes, 40000}, {K::no_file, 0}}},
        {"HTTP: HEAD not allowed is no size", "HTTP/1.1 405 Method Not Allowed\r\n\r\ncrateferry-size 0\n",
         {{K::unknown, 0}}},
        {"file:// and a missing local file", "Content-Length: 3\r\ncrateferry-size 0\ncrateferry-size 37\n",
         {{K::bytes, 3}, {K::no_file, 0}}},
        {"a failed connection tells nothing; answers that never came neither",
         "crateferry-size 7\n", {{K::unknown, 0}, {K::unknown, 0}}},
    };
    // What curl shows of the FTP command channel: each SIZE's reply, in order.
    const AnswerCase ftp_cases[] = {
        {"sizes, a missing file, and the login and folder lines around them",
         "> PASS x\r\n< 230 Login successful.\r\n> CWD in\r\n< 250 ok\r\n> TYPE I\r\n< 200 ok\r\n"
         "> SIZE a b\r\n< 213 16384\r\n> SIZE gone\r\n< 550 /in/gone is not retrievable.\r\n"
         "> SIZE 0\r\n* a note of curl's\r\n< 213 0\r\n",
         {{K::bytes, 16384}, {K::no_file, 0}, {K::bytes, 0}}},
        {"a server without SIZE: no size", "> SIZE a\r\n< 500 Unknown command.\r\n", {{K::unknown, 0}}},
        {"a login refused: no answers, no sizes", "< 530 Login incorrect.\r\n", {{K::unknown, 0}, {K::unknown, 0}}},
    };
    const auto expect_sizes = [](const AnswerCase& c, const std::vector<ReportedSize>& sizes) {
        ASSERT_EQ(sizes.size(), c.sizes.size()) << c.behaviour;
        for (size_t i = 0; i < sizes.size(); ++i) {
            EXPECT_EQ(sizes[i].kind, c.sizes[i].kind) << c.behaviour << " #" << i;
            EXPECT_EQ(sizes[i].size, c.sizes[i].size) << c.behaviour << " #" << i;
        }
    };
    for (const AnswerCase& c : ftp_cases) expect_sizes(c, read_ftp_sizes(c.output, c.sizes.size()));
    for (const AnswerCase& c : curl_cases) expect_sizes(c, read_curl_sizes(c.output, c.sizes.size()));
    // The last file was never asked (the session ended first): no size, not no file.
    const std::vector<OpenFile> files = {{"/s/a b.txt", 5}, {"/s/missing.txt", 6}, {"/s/c", 7}, {"/s/d", 8}};
    const std::string sftp_output =
        "Changing to: /in\nsftp> -ls -ln a\\ b.txt\n"
        "-rw-r--r--    ? 0        0            1234 Dec  9 05:10 a b.txt\n"
        "sftp> -ls -ln missing.txt\nsftp> -ls -ln c\n"
        "-rw-r--r--    1 1000     1000            0 Dec  9 05:10 c\n";
    const std::vector<ReportedSize> sftp = read_sftp_sizes(sftp_output, files);
    ASSERT_EQ(sftp.size(), 4U);
    EXPECT_EQ(sftp[0].kind, K::bytes);
    EXPECT_EQ(sftp[0].size, 1234U);
    EXPECT_EQ(sftp[1].kind, K::no_file);
    EXPECT_EQ(sftp[2].kind, K::bytes);
    EXPECT_EQ(sftp[2].size, 0U);
    EXPECT_EQ(sftp[3].kind, K::unknown);
    EXPECT_EQ(sftp_size_line("a b.txt"), "-ls -ln a\\ b.txt\n");
}

}  // namespace
