// The plan of an upload's transfers, the retry policy, and the reading of a batch
// run's result lines.
#include <cstdlib>
#include <cstring>

#include "transfer/curl.h"
#include "transfer/runs.h"

namespace {

constexpr char k_result_mark[] = "crateferry-result ";
// curl's own error line is logged cut to this length in per-file mode; a batch
// transfer's text is cut alike, so both modes log the same lines.
constexpr size_t k_max_error_text = 63;

}  // namespace

std::vector<RunPart> split_into_runs(size_t count, unsigned transfers) {
    std::vector<RunPart> parts;
    const size_t runs = std::min<size_t>(std::max(transfers, 1U), count);
    for (size_t run = 0; run < runs; ++run) {
        const size_t first = run * count / runs;
        parts.push_back({first, (run + 1) * count / runs - first});
    }
    return parts;
}

unsigned transfers_at_once(unsigned asked, size_t files, size_t open_allowed) {
    size_t at_once = std::max(asked, 1U);
    at_once = std::min(at_once, std::max<size_t>(files, 1));
    return static_cast<unsigned>(std::min(at_once, std::max<size_t>(open_allowed, 1)));
}

bool shows_link_dead(Outcome outcome) {
    return outcome == Outcome::stalled || outcome == Outcome::unreachable;
}

NextStep after_attempt(Outcome outcome, int attempt) {
    if (outcome == Outcome::sent) return NextStep::done;
    if (attempt < k_attempts) return NextStep::retry;
    return shows_link_dead(outcome) ? NextStep::stop_run : NextStep::give_up;
}

bool read_result_line(const std::string& line, ResultLine* result) {
    if (line.compare(0, sizeof k_result_mark - 1, k_result_mark) != 0) return false;
    const std::string text = line.substr(0, line.find('\n'));
    const char* rest = text.c_str() + sizeof k_result_mark - 1;
    char* end = nullptr;
    result->urlnum = strtoul(rest, &end, 10);
    result->exit_code = static_cast<int>(strtol(end, &end, 10));
    result->message = end[0] == ' ' ? end + 1 : end;
    return true;
}

std::string batch_error_text(const ResultLine& result) {
    std::string error = "curl: (" + std::to_string(result.exit_code) + ")";
    if (!result.message.empty()) error += " " + result.message;
    return error.substr(0, k_max_error_text);
}
