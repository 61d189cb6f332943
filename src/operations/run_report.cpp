// What a run did, told twice: one summary line in the log, and, when a metrics folder
// is set, a file in the Prometheus text format that a monitor (node_exporter's textfile
// collector) reads.
//
// Rules a reader must not break:
// - the figures come from the run's own walk and transfers: no second look at the
//   folder;
// - a metrics file is written whole under a temporary name (not ending in .prom) and
//   renamed over the old one, so a reader never sees half a file.
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>

#include "fileutil/fileutil.h"
#include "operations/operations.h"

namespace {

constexpr char k_upload_metrics[] = "crateferry_upload.prom";
constexpr char k_remove_metrics[] = "crateferry_remove.prom";
constexpr char k_last_success[] = "crateferry_upload_last_success_timestamp_seconds";

// The help and type lines of a gauge.
std::string gauge_header(const char* name, const char* help) {
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
}

// The help and type lines of one gauge, then its one sample.
std::string gauge(const char* name, const char* help, const std::string& value) {
    return gauge_header(name, help) + name + " " + value + "\n";
}

// The help and type lines of a gauge with a "result" label, then one sample per result.
std::string gauge_by_result(const char* name, const char* help,
                            const std::initializer_list<std::pair<const char*, size_t>>& results) {
    std::string text = gauge_header(name, help);
    for (const auto& result : results)
        text += std::string(name) + "{result=\"" + result.first + "\"} " +
                std::to_string(result.second) + "\n";
    return text;
}

// The value of `name` in the metrics file at `path`, as written; empty when there is
// none (no file, no such sample, or not a whole number).
std::string sample_value(const std::string& path, const char* name) {
    UniqueFile file(fopen(path.c_str(), "r"));
    if (!file) return "";
    char line[256];
    const size_t name_length = strlen(name);
    while (fgets(line, sizeof line, file.get()) != nullptr) {
        if (strncmp(line, name, name_length) != 0 || line[name_length] != ' ') continue;
        std::string value = line + name_length + 1;
        value.erase(value.find_last_not_of("\r\n") + 1);
        const bool whole_number =
            !value.empty() && value.find_first_not_of("0123456789") == std::string::npos;
        return whole_number ? value : "";
    }
    return "";
}

// Writes `text` as `folder`/`name`, mode 0644, through a temporary file renamed over
// it. Logs "Cannot write metrics file %s: %m" on failure.
void write_metrics_file(const char* folder, const char* name, const std::string& text) {
    const std::string path = join_path(folder, name);
    const std::string temporary =
        join_path(folder, (std::string(".") + name + "." + std::to_string(getpid())).c_str());
    if (write_new_file(temporary.c_str(), text, 0644) && rename(temporary.c_str(), path.c_str()) == 0)
        return;
    const int error = errno;
    (void)unlink(temporary.c_str());
    errno = error;
    syslog(LOG_ERR, "Cannot write metrics file %s: %m", path.c_str());
}

std::string upload_metrics(const UploadReport& report, double seconds, time_t end,
                           const std::string& last_success) {
    char duration[32];
    (void)snprintf(duration, sizeof duration, "%.3f", seconds);
    const time_t oldest_age =
        report.left_pending != 0 && report.oldest_pending < end ? end - report.oldest_pending : 0;
    std::string text =
        gauge("crateferry_upload_last_run_timestamp_seconds",
              "When the last upload run ended, in Unix time.", std::to_string(end)) +
        gauge("crateferry_upload_last_run_duration_seconds", "How long the last upload run took.",
              duration);
    if (!last_success.empty())
        text += gauge(k_last_success, "When the last upload run in which no file failed ended.",
                      last_success);
    return text +
           gauge_by_result("crateferry_upload_files", "Files of the last upload run, by result.",
                           {{"sent", report.sent},
                            {"failed", report.failed},
                            {"changed", report.changed},
                            {"refused", report.refused}}) +
           gauge("crateferry_upload_bytes_sent", "Bytes the last upload run sent.",
                 std::to_string(report.bytes_sent)) +
           gauge("crateferry_upload_pending_files", "Files the last upload run left pending.",
                 std::to_string(report.left_pending)) +
           gauge("crateferry_upload_pending_bytes", "Bytes of the files left pending.",
                 std::to_string(report.pending_bytes)) +
           gauge("crateferry_upload_oldest_pending_age_seconds",
                 "Age of the oldest file left pending; 0 when none.", std::to_string(oldest_age)) +
           gauge("crateferry_clock_behind", "1 when the clock was behind the reference time.",
                 report.clock_behind ? "1" : "0");
}

}  // namespace

double monotonic_seconds() {
    struct timespec now {};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void report_upload(const UploadReport& report, double seconds, time_t end,
                   const char* metrics_folder) {
    if (metrics_folder[0] != '\0') {
        // A run with a failed file keeps the success time of the run before.
        const std::string last_success =
            report.failed == 0
                ? std::to_string(end)
                : sample_value(join_path(metrics_folder, k_upload_metrics), k_last_success);
        write_metrics_file(metrics_folder, k_upload_metrics,
                           upload_metrics(report, seconds, end, last_success));
    }
    // The last line before "exited".
    syslog(LOG_NOTICE,
           "upload summary: %zu sent, %zu failed, %zu changed, %zu refused, %zu left pending, "
           "%" PRIu64 " bytes sent in %.1f s",
           report.sent, report.failed, report.changed, report.refused, report.left_pending,
           report.bytes_sent, seconds);
}

void report_remove(const RemoveReport& report, double seconds, time_t end,
                   const char* metrics_folder) {
    if (metrics_folder[0] != '\0')
        write_metrics_file(
            metrics_folder, k_remove_metrics,
            gauge("crateferry_remove_last_run_timestamp_seconds",
                  "When the last remove run ended, in Unix time.", std::to_string(end)) +
                gauge_by_result("crateferry_remove_files",
                                "Files of the last remove run, by result.",
                                {{"removed", report.removed}, {"failed", report.failed}}) +
                gauge("crateferry_remove_never_uploaded_files",
                      "Files the last remove run deleted that were never uploaded.",
                      std::to_string(report.never_uploaded)) +
                gauge("crateferry_remove_bytes_freed", "Bytes the last remove run freed.",
                      std::to_string(report.bytes_freed)) +
                gauge("crateferry_scan_folder_free_bytes",
                      "Space of the scan folder's file system available to unprivileged users.",
                      std::to_string(report.free_bytes)) +
                gauge("crateferry_clock_behind", "1 when the clock was behind the reference time.",
                      report.clock_behind ? "1" : "0"));
    // The last line before "exited".
    syslog(LOG_NOTICE,
           "remove summary: %zu removed (%zu never uploaded), %zu could not be removed, %" PRIu64
           " bytes freed in %.1f s",
           report.removed, report.never_uploaded, report.failed, report.bytes_freed, seconds);
}
