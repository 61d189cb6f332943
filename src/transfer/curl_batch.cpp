// Sending many files with few curl runs, each keeping its connection and login.
//
// Rules a reader must not break:
// - a batch file holds the password: it is made fresh with mode 0600 and removed
//   as soon as its run ends, and what a killed run left is removed when the next
//   upload starts;
// - every value in it is escaped in curl's config syntax, so names reach curl as
//   themselves and no value can add an option;
// - each run writes one result line per transfer to a pipe, read as they come, so a
//   file is finished as soon as it is known sent;
// - a run stops at its first failed transfer (--fail-early); the other runs at once
//   go on, but a result that shows the link or the server dead ends them all;
// - a run that ended without a word on files it should have reported reports them
//   not tried: they are not sent again in the same run.
#include <poll.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/curl.h"

namespace {

constexpr char k_result_mark[] = "crateferry-result ";
// curl's own error line is logged cut to this length in per-file mode; a batch
// transfer's text is cut alike, so both modes log the same lines.
constexpr size_t k_max_error_text = 63;

std::string option(const char* name, const std::string& value) {
    return std::string(name) + " = \"" + curl_config_escape(value) + "\"\n";
}

// The outcome of one result line's exit code, logging a failure.
Outcome outcome_of(int exit_code, const char* message) {
    if (exit_code == 0) return Outcome::sent;
    std::string error = "curl: (" + std::to_string(exit_code) + ")";
    if (message[0] != '\0') error += std::string(" ") + message;
    syslog(LOG_ERR, "file upload has failed(%s)", error.substr(0, k_max_error_text).c_str());
    return curl_outcome(exit_code);
}

// The transfer number and outcome of a result line, logging a failure unless
// `quiet`; false for any other line.
bool parse_result(char* line, ssize_t length, bool quiet, size_t* urlnum, Outcome* outcome) {
    if (strncmp(line, k_result_mark, sizeof k_result_mark - 1) != 0) return false;
    if (line[length - 1] == '\n') line[length - 1] = '\0';
    char* rest = line + sizeof k_result_mark - 1;
    *urlnum = strtoul(rest, &rest, 10);
    const long exit_code = strtol(rest, &rest, 10);
    if (quiet) {
        *outcome = exit_code == 0 ? Outcome::sent : Outcome::failed;
        return true;
    }
    *outcome = outcome_of(static_cast<int>(exit_code), rest[0] == ' ' ? rest + 1 : rest);
    return true;
}

}  // namespace

void remove_batch_leftovers() {
    // Missing as a rule; a file that cannot be deleted is made anew by the next batch.
    for (unsigned run = 0; run < k_most_transfers; ++run)
        (void)unlink(run_file(paths::curl_batch, run).c_str());
    (void)unlink(paths::curl_batch_results);
}

std::string curl_batch_config(const std::vector<OpenFile>& files, const Remote& remote) {
    // The options every file's group begins with; curl caps each run on its own, so
    // each gets its share of the cap.
    const std::string common =
        option("user", remote.user + ':' + remote.password) +
        "fail\nshow-error\nsilent\ngloboff\n" + curl_config_stall_options(remote.stall_seconds) +
        curl_config_rate_option(rate_per_transfer(remote.rate_kib, remote.transfers)) +
        option("write-out", std::string(k_result_mark) + "%{urlnum} %{exitcode} %{errormsg}\n");
    // Options hold for a whole group, so files renamed after their transfer each need
    // a group of their own; all others share one, which is faster: curl sets each group
    // up anew.
    std::string config = common;
    for (size_t i = 0; i < files.size(); ++i) {
        const CurlTarget target = curl_target(files[i].path.c_str(), remote);
        if (!target.rename_from.empty()) {
            if (i > 0) config += "next\n" + common;
            config += option("quote", "-RNFR " + target.rename_from) +
                      option("quote", "-RNTO " + target.rename_to);
        }
        // Each URL's own output: a server's reply body never mixes with the results.
        config += option("url", target.url) + option("output", "/dev/null") +
                  option("upload-file", open_file_path(files[i].fd));
    }
    return config;
}

std::string curl_batch_command(unsigned run) {
    // exec: the run's PID is curl's own, so ending the run ends curl.
    return "exec curl --fail-early -K " + run_file(paths::curl_batch, run) + " 2>" +
           run_file(paths::curl_error, run);
}

namespace {

// One curl run of a batch, over a contiguous part of its files.
struct BatchRun {
    size_t first = 0;  // place of its first file in the batch
    size_t count = 0;
    pid_t pid = -1;
    UniqueFd output;      // the read end of its results, until they end
    std::string partial;  // the start of a result line not yet whole
    size_t reports = 0;
    bool failed = false;
};

// Writes run `number`'s batch file over `files[run->first ..]` and starts it; a
// file that cannot be written reports the run's first file failed.
void start_run(unsigned number, const std::vector<OpenFile>& files, const Remote& remote,
               BatchRun* run, const OnResult& on_result) {
    const std::vector<OpenFile> part(files.begin() + static_cast<ptrdiff_t>(run->first),
                                     files.begin() + static_cast<ptrdiff_t>(run->first + run->count));
    const std::string batch_file = run_file(paths::curl_batch, number);
    // Readable by its owner only: it holds the password.
    if (!write_new_file(batch_file.c_str(), curl_batch_config(part, remote), 0600)) {
        // Nothing was sent: the first file's attempt failed, and it gets its others alone.
        syslog(LOG_ERR, "file upload has failed(Cannot write %s: %m)", batch_file.c_str());
        (void)unlink(batch_file.c_str());
        run->failed = true;
        on_result(run->first, Outcome::failed);
        return;
    }
    std::vector<int> descriptors(part.size());
    for (size_t i = 0; i < part.size(); ++i) descriptors[i] = part[i].fd;
    int output = -1;
    run->pid = start_shell_with_secrets(curl_batch_command(number), {}, descriptors, &output);
    run->output.reset(output);
}

// Hands on the whole result lines of `text`, read from `run`, keeping a cut last line
// for later. Returns true once a result shows the link or the server dead.
bool take_results(BatchRun* run, const char* text, size_t length, bool ended,
                  const OnResult& on_result) {
    run->partial.append(text, length);
    bool dead = false;
    size_t start = 0;
    for (size_t end; (end = run->partial.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = run->partial.substr(start, end + 1 - start);
        size_t urlnum = 0;
        Outcome outcome = Outcome::failed;
        if (!parse_result(&line[0], static_cast<ssize_t>(line.size()), ended || dead, &urlnum,
                          &outcome))
            continue;
        if (urlnum != run->reports || run->failed) continue;  // one at a time, in order
        if ((ended || dead) && outcome != Outcome::sent) continue;
        ++run->reports;
        run->failed = outcome != Outcome::sent;
        on_result(run->first + urlnum, outcome);
        dead = dead || outcome == Outcome::stalled || outcome == Outcome::unreachable;
    }
    run->partial.erase(0, start);
    return dead;
}

}  // namespace

bool curl_batch_upload(const std::vector<OpenFile>& files, const Remote& remote,
                       const OnResult& on_result) {
    if (files.empty()) return true;
    const size_t count = std::min<size_t>(std::max<uint32_t>(remote.transfers, 1), files.size());
    std::vector<BatchRun> runs(count);
    for (unsigned number = 0; number < count; ++number) {
        runs[number].first = number * files.size() / count;
        runs[number].count = (number + 1) * files.size() / count - runs[number].first;
        start_run(number, files, remote, &runs[number], on_result);
    }
    bool ended = false;  // a result showed the link or the server dead: every run ends
    for (;;) {
        std::vector<pollfd> waiting;
        std::vector<BatchRun*> owners;
        for (BatchRun& run : runs) {
            if (run.output.get() < 0) continue;
            waiting.push_back({run.output.get(), POLLIN, 0});
            owners.push_back(&run);
        }
        if (waiting.empty()) break;
        if (poll(waiting.data(), waiting.size(), -1) < 0) break;
        for (size_t i = 0; i < waiting.size(); ++i) {
            if (waiting[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(waiting[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                owners[i]->output.reset();
                continue;
            }
            if (take_results(owners[i], buffer, static_cast<size_t>(n), ended, on_result) && !ended) {
                ended = true;
                for (const BatchRun& run : runs) end_child(run.pid);
            }
        }
    }
    bool reported = true;
    for (unsigned number = 0; number < count; ++number) {
        BatchRun& run = runs[number];
        const int status = run.pid > 0 ? wait_for_child(run.pid) : -1;
        (void)unlink(run_file(paths::curl_batch, number).c_str());
        if (run.failed || run.reports == run.count || ended) continue;
        // The run ended without a word on files it should have reported: curl could not
        // start or was killed (not by this program).
        log_upload_failure(status, run_file(paths::curl_error, number).c_str());
        syslog(LOG_ERR, "file upload has failed(the batch's results could not be read)");
        reported = false;
    }
    return reported;
}
