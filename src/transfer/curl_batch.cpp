// Sending many files with one curl run that keeps its connection and login.
//
// Rules a reader must not break:
// - the batch file holds the password: it is made fresh with mode 0600 and removed
//   as soon as the run ends, and what a killed run left is removed when the next
//   upload starts;
// - every value in it is escaped in curl's config syntax, so names reach curl as
//   themselves and no value can add an option;
// - curl stops at the first failed transfer (--fail-early): results are read up to
//   that one, and the files after it count as not tried;
// - a run whose results cannot be read reports nothing sent: its files are not sent
//   again in the same run (a full work folder would otherwise resend them over and over).
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

// The outcomes in the results file, in transfer order, up to the first failure.
std::vector<Outcome> read_results(size_t expected) {
    std::vector<Outcome> outcomes;
    UniqueFile results(fopen(paths::curl_batch_results, "r"));
    if (!results) return outcomes;
    char* line = nullptr;
    size_t line_size = 0;
    ssize_t length;
    while (outcomes.size() < expected && (length = getline(&line, &line_size, results.get())) >= 0) {
        if (strncmp(line, k_result_mark, sizeof k_result_mark - 1) != 0) continue;
        if (line[length - 1] == '\n') line[length - 1] = '\0';
        char* rest = line + sizeof k_result_mark - 1;
        const unsigned long urlnum = strtoul(rest, &rest, 10);
        const long exit_code = strtol(rest, &rest, 10);
        if (urlnum != outcomes.size()) break;
        outcomes.push_back(outcome_of(static_cast<int>(exit_code), rest[0] == ' ' ? rest + 1 : rest));
        if (outcomes.back() != Outcome::sent) break;
    }
    free(line);
    return outcomes;
}

}  // namespace

void remove_batch_leftovers() {
    // Missing as a rule; a file that cannot be deleted is made anew by the next batch.
    (void)unlink(paths::curl_batch);
    (void)unlink(paths::curl_batch_results);
}

std::string curl_batch_config(const std::vector<OpenFile>& files, const Remote& remote) {
    // The options every file's group begins with.
    const std::string common =
        option("user", remote.user + ':' + remote.password) +
        "fail\nshow-error\nsilent\ngloboff\n" + curl_config_stall_options(remote.stall_seconds) +
        curl_config_rate_option(remote.rate_kib) +
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

std::string curl_batch_command() {
    return std::string("curl --fail-early -K ") + paths::curl_batch + " > " +
           paths::curl_batch_results + " 2>" + paths::curl_error;
}

std::vector<Outcome> curl_batch_upload(const std::vector<OpenFile>& files, const Remote& remote) {
    if (files.empty()) return {};
    (void)unlink(paths::curl_batch_results);
    if (!write_batch_file(curl_batch_config(files, remote))) {
        // Nothing was sent: the first file's attempt failed, and it gets its others alone.
        syslog(LOG_ERR, "file upload has failed(Cannot write %s: %m)", paths::curl_batch);
        (void)unlink(paths::curl_batch);
        return {Outcome::failed};
    }
    std::vector<int> descriptors(files.size());
    for (size_t i = 0; i < files.size(); ++i) descriptors[i] = files[i].fd;
    const int status = run_shell_with_secrets(curl_batch_command(), {}, "-c", descriptors);
    (void)unlink(paths::curl_batch);
    std::vector<Outcome> outcomes = read_results(files.size());
    (void)unlink(paths::curl_batch_results);
    const bool stopped = outcomes.empty() || outcomes.back() == Outcome::sent;
    if (stopped && outcomes.size() < files.size()) {
        // curl ended without a word on the next file: it could not start, was killed,
        // or found no room for its results.
        log_upload_failure(status);
        syslog(LOG_ERR, "file upload has failed(the batch's results could not be read)");
        outcomes.push_back(Outcome::not_tried);
    }
    return outcomes;
}
