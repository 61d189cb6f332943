// How the transfers of an upload are planned and judged: pure functions, no I/O, the
// same for every way of sending.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "transfer/transfer.h"

// Attempts a file gets in curl modes, and the pause after each failed one.
constexpr int k_attempts = 3;
constexpr unsigned k_retry_pause_seconds = 5;

// A run's files: the contiguous part [first, first + count) of the files planned.
struct RunPart {
    size_t first;
    size_t count;
};

// `count` files split into up to `transfers` contiguous parts of about equal size,
// in order; fewer parts when there are fewer files, none for none.
std::vector<RunPart> split_into_runs(size_t count, unsigned transfers);

// How many transfers run at once: `asked` (at least 1), no more than there are
// `files` (at least 1), and no more than the `open_allowed` files the descriptor
// limit lets the run hold open, each transfer holding at least one.
unsigned transfers_at_once(unsigned asked, size_t files, size_t open_allowed);

// What follows attempt `attempt` (counted from 1) of a file that ended `outcome`.
enum class NextStep {
    done,      // sent
    retry,     // after the pause
    give_up,   // its attempts are spent; the run goes on
    stop_run,  // its attempts are spent and the link or the server is dead: the
               // files not yet finished are left for the next run
};
NextStep after_attempt(Outcome outcome, int attempt);

// True for the outcomes that show the link or the server dead: every transfer at
// once is ended, and the file's own attempts go on alone.
bool shows_link_dead(Outcome outcome);

// One result line of a curl batch run: "crateferry-result URLNUM EXITCODE ERRORMSG",
// with or without its line feed.
struct ResultLine {
    size_t urlnum;
    int exit_code;
    std::string message;
};
// False for any other line.
bool read_result_line(const std::string& line, ResultLine* result);

// What a failed batch transfer logs after "file upload has failed(": "curl: (CODE)
// MESSAGE", cut to the 63 characters curl's own error line is logged with.
std::string batch_error_text(const ResultLine& result);
