// Sending the queued files: one sftp session per queue, all at once.
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/curl.h"
#include "transfer/sftp.h"

namespace {

constexpr char k_sftp_scheme[] = "sftp://";
constexpr char k_connected_line[] = "Connected to ";

// sftp reading its commands from standard input goes on after a failed put and still
// exits 0, so a clean session is one whose error text holds nothing but the line
// sftp writes on connecting.
bool error_text_is_clean(const char* path) {
    UniqueFile file(fopen(path, "r"));
    if (!file) return true;
    char line[256];
    bool clean = true;
    bool line_start = true;
    while (clean && fgets(line, sizeof line, file.get()) != nullptr) {
        if (line_start && strncmp(line, k_connected_line, sizeof k_connected_line - 1) != 0)
            clean = line[0] == '\n';
        line_start = strchr(line, '\n') != nullptr;
    }
    return clean;
}

// Ends the queue with a line that makes a local folder. sftp runs it only after every
// line before it; a session that never read the queue (as when the remote folder of
// the URL names a file, which sftp then fetches and exits 0) leaves no folder.
void mark_queue_end(unsigned session) {
    const std::string end = run_file(paths::sftp_queue_end, session);
    (void)rmdir(end.c_str());
    UniqueFile queue(fopen(run_file(paths::sftp_queue, session).c_str(), "a"));
    if (queue) fprintf(queue.get(), "lmkdir %s\n", end.c_str());
}

// True when session `session`, which ended with wait status `status` after `seconds`,
// sent every file of its queue; otherwise logs why not.
bool session_succeeded(unsigned session, int status, uint64_t seconds, uint32_t stall_seconds) {
    const std::string error = run_file(paths::sftp_error, session);
    const bool read_to_end = rmdir(run_file(paths::sftp_queue_end, session).c_str()) == 0;
    const bool clean = error_text_is_clean(error.c_str());
    if (status == 0 && clean && read_to_end) return true;
    if (status == 0 && clean) {
        syslog(LOG_ERR, "file upload has failed(sftp did not read the whole queue)");
        return false;
    }
    if (file_size(error.c_str()) == 0) {
        syslog(LOG_ERR, "file upload has failed(check host or credentials)");
        return false;
    }
    const char* error_lines = read_all_lines(error.c_str());
    if (sftp_stalled(status, seconds, stall_seconds, error_lines))
        syslog(LOG_ERR,
               "file upload has failed(%sthe server did not answer within the stall limit of %u s)",
               error_lines, stall_seconds);
    else
        syslog(LOG_ERR, "file upload has failed(%s)", error_lines);
    return false;
}

}  // namespace

bool is_sftp_url(const char* url) {
    return strncasecmp(url, k_sftp_scheme, sizeof k_sftp_scheme - 1) == 0;
}

bool sftp_url_parts(const char* remoteurl, std::string* host, std::string* folder) {
    if (!is_sftp_url(remoteurl)) return false;
    const std::string rest = remoteurl + sizeof k_sftp_scheme - 1;
    const size_t slash = rest.find('/');
    *host = rest.substr(0, slash);
    *folder = slash == std::string::npos ? "" : rest.substr(slash);
    return true;
}

std::string sftp_batch_command(const char* username, const std::string& host,
                               const std::string& folder, bool password_login,
                               uint32_t stall_seconds, uint32_t rate_kib, unsigned session) {
    std::string command;
    if (password_login) command = std::string(paths::sshpass) + " -e ";
    command += std::string(paths::sftp) + " -S " + paths::ssh + " -F " + paths::ssh_config +
               " -o LogLevel=ERROR " + ssh_stall_options(stall_seconds);
    // sftp counts its cap in Kbit/s.
    if (rate_kib != 0) command += "-l " + std::to_string(uint64_t{rate_kib} * 8) + " ";
    const std::string target = std::string(username) + '@' + host + ':' + folder;
    // A target that begins with '-' would be read as an option of sftp.
    if (target[0] == '-') command += "-- ";
    command += shell_quote(target) + " < " + run_file(paths::sftp_queue, session) +
               " 2>" + run_file(paths::sftp_error, session) + " > /dev/null";
    return command;
}

std::vector<bool> sftp_sessions_upload(const Remote& remote,
                                       const std::vector<std::vector<int>>& open_files) {
    const size_t sessions = open_files.size();
    std::vector<bool> sent(sessions, false);
    std::string host;
    std::string folder;
    if (!sftp_url_parts(remote.url.c_str(), &host, &folder)) return sent;
    const bool password_login = !remote.password.empty();
    std::vector<std::string> secrets;
    if (password_login) secrets.push_back("SSHPASS=" + remote.password);
    size_t started_sessions = 0;
    for (const std::vector<int>& files : open_files) started_sessions += !files.empty();
    const uint32_t rate = rate_per_transfer(remote.rate_kib, static_cast<uint32_t>(started_sessions));
    using Clock = std::chrono::steady_clock;
    std::vector<pid_t> running(sessions, -1);
    std::vector<Clock::time_point> started(sessions);
    size_t left = 0;
    for (unsigned session = 0; session < sessions; ++session) {
        if (open_files[session].empty()) continue;
        mark_queue_end(session);
        // A session that cannot start leaves no stale error text to be judged by.
        (void)unlink(run_file(paths::sftp_error, session).c_str());
        started[session] = Clock::now();
        running[session] = start_shell_with_secrets(
            sftp_batch_command(remote.user.c_str(), host, folder, password_login,
                               remote.stall_seconds, rate, session),
            secrets, open_files[session]);
        if (running[session] > 0)
            ++left;
        else
            sent[session] = session_succeeded(session, -1, 0, remote.stall_seconds);
    }
    while (left > 0) {
        int status = 0;
        const pid_t pid = wait_for_any_child(&status);
        if (pid < 0) break;
        const auto session = static_cast<unsigned>(
            std::find(running.begin(), running.end(), pid) - running.begin());
        if (session == sessions) continue;
        const auto seconds =
            std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - started[session]);
        sent[session] = session_succeeded(session, status, static_cast<uint64_t>(seconds.count()),
                                          remote.stall_seconds);
        running[session] = -1;
        --left;
    }
    return sent;
}
