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
//   not tried: they are not sent again in the same run;
// - each run is a Child: ending every run signals their process groups, and each is
//   reaped by its own PID.
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
#include "transfer/runs.h"

namespace {

}  // namespace

void remove_batch_leftovers() {
    // Missing as a rule; a file that cannot be deleted is made anew by the next batch.
    for (unsigned run = 0; run < k_most_transfers; ++run) {
        (void)unlink(run_file(paths::curl_batch, run).c_str());
        (void)unlink(run_file(paths::curl_sizes, run).c_str());  // left by earlier versions
    }
    (void)unlink(paths::curl_batch_results);
}

std::string curl_batch_config(const std::vector<OpenFile>& files, const Remote& remote,
                              uint32_t rate_kib) {
    // curl's standard output is written in blocks, its error stream at once: with the
    // size check, results come there, so that each file is asked for while the run
    // goes on.
    // And the time each transfer waited before its data could go, which tells the size
    // check how far away the server is.
    const std::string results_to =
        remote.verify ? "%{stderr}crateferry-pretransfer %{time_pretransfer}\n" : "";
    const std::string common =
        curl_config_option("user", remote.user + ':' + remote.password) +
        "fail\nshow-error\nsilent\ngloboff\n" + curl_config_stall_options(remote.stall_seconds) +
        curl_config_rate_option(rate_kib) +
        curl_config_option("write-out",
                           results_to + "crateferry-result %{urlnum} %{exitcode} %{errormsg}\n");
    // Options hold for a whole group, so files renamed after their transfer each need
    // a group of their own; all others share one, which is faster: curl sets each group
    // up anew.
    std::string config = common;
    for (size_t i = 0; i < files.size(); ++i) {
        const CurlTarget target = curl_target(files[i].path.c_str(), remote);
        if (!target.rename_from.empty()) {
            if (i > 0) config += "next\n" + common;
            config += curl_config_option("quote", "-RNFR " + target.rename_from) +
                      curl_config_option("quote", "-RNTO " + target.rename_to);
        }
        // Each URL's own output: a server's reply body never mixes with the results.
        config += curl_config_option("url", target.url) + curl_config_option("output", "/dev/null") +
                  curl_config_option("upload-file", open_file_path(files[i].fd));
    }
    return config;
}

std::string curl_batch_command(unsigned run, bool results_on_errors) {
    const std::string command = "exec curl --fail-early -K " + run_file(paths::curl_batch, run);
    // The error stream, results among it, comes to the reader in place of the output.
    if (results_on_errors) return command + " 2>&1 >/dev/null";
    return command + " 2>" + run_file(paths::curl_error, run);
}

namespace {

// One curl run of a batch, over a contiguous part of its files.
struct BatchRun {
    RunPart part;
    Child child;
    std::string partial;  // the start of a result line not yet whole
    std::string errors;   // curl's error text, when it comes with the results
    std::function<void(double)> on_pretransfer;
    size_t reports = 0;
    bool failed = false;
};

// Writes run `number`'s batch file and starts it; a file that cannot be written
// reports the run's first file failed.
void start_run(unsigned number, const std::vector<OpenFile>& files, const Remote& remote,
               uint32_t rate_kib, BatchRun* run, const OnResult& on_result) {
    const auto begin = files.begin() + static_cast<ptrdiff_t>(run->part.first);
    const std::vector<OpenFile> part(begin, begin + static_cast<ptrdiff_t>(run->part.count));
    const std::string batch_file = run_file(paths::curl_batch, number);
    // Readable by its owner only: it holds the password.
    if (!write_new_file(batch_file.c_str(), curl_batch_config(part, remote, rate_kib), 0600)) {
        // Nothing was sent: the first file's attempt failed, and it gets its others alone.
        syslog(LOG_ERR, "file upload has failed(Cannot write %s: %m)", batch_file.c_str());
        (void)unlink(batch_file.c_str());
        run->failed = true;
        on_result(run->part.first, Outcome::failed);
        return;
    }
    std::vector<int> descriptors;
    descriptors.reserve(part.size());
    for (const OpenFile& file : part) descriptors.push_back(file.fd);
    run->child = Child::start(curl_batch_command(number, remote.verify), {}, descriptors,
                              /*with_output=*/true);
}

// Hands on one result line of `run`; true when it shows the link or the server dead.
// Once every run is being ended (`ending`), only files reported sent still count.
bool take_result(BatchRun* run, const std::string& line, bool ending, const OnResult& on_result) {
    constexpr char k_pretransfer[] = "crateferry-pretransfer ";
    if (line.compare(0, sizeof k_pretransfer - 1, k_pretransfer) == 0) {
        if (run->on_pretransfer) run->on_pretransfer(strtod(line.c_str() + sizeof k_pretransfer - 1, nullptr));
        return false;
    }
    ResultLine result;
    if (!read_result_line(line, &result)) {
        run->errors += line;
        return false;
    }
    if (result.urlnum != run->reports || run->failed) return false;  // one at a time, in order
    if (ending && result.exit_code != 0) return false;
    Outcome outcome = Outcome::sent;
    if (result.exit_code != 0) {
        syslog(LOG_ERR, "file upload has failed(%s)", batch_error_text(result).c_str());
        outcome = curl_outcome(result.exit_code);
    }
    ++run->reports;
    run->failed = outcome != Outcome::sent;
    on_result(run->part.first + result.urlnum, outcome);
    return shows_link_dead(outcome);
}

// Reads what `run` wrote and hands on its whole result lines. True once a result
// shows the link or the server dead.
bool read_results(BatchRun* run, bool ending, const OnResult& on_result) {
    if (run->child.read_output(&run->partial) == 0) return false;
    bool dead = false;
    size_t start = 0;
    for (size_t end; (end = run->partial.find('\n', start)) != std::string::npos; start = end + 1)
        dead = take_result(run, run->partial.substr(start, end + 1 - start), ending || dead, on_result) ||
               dead;
    run->partial.erase(0, start);
    return dead;
}

// Waits on every run until each has ended and its results are read; a result that
// shows the link dead ends them all. True when they were ended so.
bool drive_runs(std::vector<BatchRun>* runs, const OnResult& on_result) {
    bool ending = false;
    for (;;) {
        std::vector<Child*> children;
        for (BatchRun& run : *runs) children.push_back(&run.child);
        const std::vector<size_t> ready = wait_for_children(children);
        if (ready.empty()) return ending;
        for (const size_t i : ready) {
            BatchRun& run = (*runs)[i];
            if (run.child.output() < 0 || !read_results(&run, ending, on_result) || ending) continue;
            ending = true;
            for (BatchRun& other : *runs) other.child.end();
        }
    }
}

}  // namespace

bool curl_batch_upload(const std::vector<OpenFile>& files, const Remote& remote,
                       const OnResult& on_result,
                       const std::function<void(double seconds)>& on_pretransfer) {
    const std::vector<RunPart> parts = split_into_runs(files.size(), remote.transfers);
    // The run's cap is shared among the runs that start.
    const uint32_t rate = rate_per_transfer(remote.rate_kib, static_cast<uint32_t>(parts.size()));
    std::vector<BatchRun> runs(parts.size());
    for (unsigned number = 0; number < parts.size(); ++number) {
        runs[number].part = parts[number];
        runs[number].on_pretransfer = on_pretransfer;
        start_run(number, files, remote, rate, &runs[number], on_result);
    }
    const bool ended = drive_runs(&runs, on_result);
    bool reported = true;
    for (unsigned number = 0; number < runs.size(); ++number) {
        BatchRun& run = runs[number];
        const int status = run.child.wait();
        (void)unlink(run_file(paths::curl_batch, number).c_str());
        if (run.failed || run.reports == run.part.count || ended) continue;
        // The run ended without a word on files it should have reported: curl could not
        // start or was killed (not by this program).
        if (run.errors.empty())
            (void)log_upload_failure(status, run_file(paths::curl_error, number).c_str());
        else
            (void)log_upload_failure_text(status, run.errors.substr(0, run.errors.find('\n')));
        syslog(LOG_ERR, "file upload has failed(the batch's results could not be read)");
        reported = false;
    }
    return reported;
}
