// Sending many files with one curl run that keeps its connections and login.
//
// Rules a reader must not break:
// - the batch file holds the password: it is made fresh with mode 0600 and removed
//   as soon as the run ends, and what a killed run left is removed when the next
//   upload starts;
// - every value in it is escaped in curl's config syntax, so names reach curl as
//   themselves and no value can add an option;
// - curl writes one result line per transfer to a pipe, read as they come, so a file
//   is finished as soon as it is known sent;
// - one transfer at a time, curl stops at the first that fails (--fail-early); several
//   at a time, every transfer goes on alone, but a result that shows the link or the
//   server dead ends the run: the transfers still in flight are not waited for;
// - a run that ended without a word on files it should have reported reports them
//   not tried: they are not sent again in the same run.
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

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

// Writes the batch file anew, readable by its owner only.
bool write_batch_file(const std::string& text) {
    (void)unlink(paths::curl_batch);
    const UniqueFd fd(open(paths::curl_batch, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (fd.get() < 0) return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd.get(), text.data() + written, text.size() - written);
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
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
    (void)unlink(paths::curl_batch);
    (void)unlink(paths::curl_batch_results);
}

std::string curl_batch_config(const std::vector<OpenFile>& files, const Remote& remote) {
    // The options every file's group begins with; curl caps each transfer on its own,
    // so each gets its share of the run's cap.
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

std::string curl_batch_command(uint32_t transfers) {
    // exec: the run's PID is curl's own, so ending the run ends curl.
    std::string command = "exec curl ";
    if (transfers <= 1)
        command += "--fail-early";
    else
        // The config's "silent" leaves curl's parallel progress meter on.
        command += "--no-progress-meter --parallel --parallel-max " + std::to_string(transfers);
    return command + " -K " + paths::curl_batch + " 2>" + paths::curl_error;
}

bool curl_batch_upload(const std::vector<OpenFile>& files, const Remote& remote,
                       const OnResult& on_result) {
    if (files.empty()) return true;
    if (!write_batch_file(curl_batch_config(files, remote))) {
        // Nothing was sent: the first file's attempt failed, and it gets its others alone.
        syslog(LOG_ERR, "file upload has failed(Cannot write %s: %m)", paths::curl_batch);
        (void)unlink(paths::curl_batch);
        on_result(0, Outcome::failed);
        return true;
    }
    std::vector<int> descriptors(files.size());
    for (size_t i = 0; i < files.size(); ++i) descriptors[i] = files[i].fd;
    int output = -1;
    const pid_t curl = start_shell_with_secrets(curl_batch_command(remote.transfers), {},
                                                descriptors, &output);
    std::vector<bool> reported(files.size(), false);
    size_t reports = 0;
    bool failed = false;
    bool ended = false;  // the run was ended here: later failures are not logged
    if (curl > 0) {
        UniqueFile results(fdopen(output, "r"));
        if (!results) close(output);
        char* line = nullptr;
        size_t line_size = 0;
        ssize_t length;
        while (results && (length = getline(&line, &line_size, results.get())) > 0) {
            size_t urlnum = 0;
            Outcome outcome = Outcome::failed;
            if (!parse_result(line, length, ended, &urlnum, &outcome)) continue;
            if (urlnum >= files.size() || reported[urlnum]) continue;
            if (ended && outcome != Outcome::sent) continue;
            reported[urlnum] = true;
            ++reports;
            failed = failed || outcome != Outcome::sent;
            on_result(urlnum, outcome);
            if (outcome == Outcome::stalled || outcome == Outcome::unreachable) {
                end_child(curl);
                ended = true;
            }
        }
        free(line);
    }
    const int status = curl > 0 ? wait_for_child(curl) : -1;
    (void)unlink(paths::curl_batch);
    if (failed || reports == files.size()) return true;
    // curl ended without a word on files it should have reported: it could not start
    // or was killed.
    log_upload_failure(status);
    syslog(LOG_ERR, "file upload has failed(the batch's results could not be read)");
    return false;
}
