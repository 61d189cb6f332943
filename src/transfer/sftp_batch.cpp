// Sending every queued file in one sftp session.
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
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
void mark_queue_end() {
    (void)rmdir(paths::sftp_queue_end);
    UniqueFile queue(fopen(paths::sftp_queue, "a"));
    if (queue) fprintf(queue.get(), "lmkdir %s\n", paths::sftp_queue_end);
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
                               uint32_t stall_seconds, uint32_t rate_kib) {
    std::string command;
    if (password_login) command = std::string(paths::sshpass) + " -e ";
    command += std::string(paths::sftp) + " -S " + paths::ssh + " -F " + paths::ssh_config +
               " -o LogLevel=ERROR " + ssh_stall_options(stall_seconds);
    // sftp counts its cap in Kbit/s.
    if (rate_kib != 0) command += "-l " + std::to_string(uint64_t{rate_kib} * 8) + " ";
    const std::string target = std::string(username) + '@' + host + ':' + folder;
    // A target that begins with '-' would be read as an option of sftp.
    if (target[0] == '-') command += "-- ";
    command += shell_quote(target) + " < " + paths::sftp_queue + " 2>" + paths::sftp_error +
               " > /dev/null";
    return command;
}

bool sftp_batch_upload(const Remote& remote, const std::vector<int>& open_files) {
    const char* password = remote.password.c_str();
    const uint32_t stall_seconds = remote.stall_seconds;
    std::string host;
    std::string folder;
    if (!sftp_url_parts(remote.url.c_str(), &host, &folder)) return false;
    mark_queue_end();
    const bool password_login = password[0] != '\0';
    const std::vector<std::string> secrets = {std::string("SSHPASS=") + password};
    const auto started = std::chrono::steady_clock::now();
    const int status = run_shell_with_secrets(
        sftp_batch_command(remote.user.c_str(), host, folder, password_login, stall_seconds,
                           remote.rate_kib),
        password_login ? secrets : std::vector<std::string>(), "-c", open_files);
    const auto session = std::chrono::steady_clock::now() - started;
    const auto session_seconds = std::chrono::duration_cast<std::chrono::seconds>(session).count();
    const bool read_to_end = rmdir(paths::sftp_queue_end) == 0;
    const bool clean = error_text_is_clean(paths::sftp_error);
    if (status == 0 && clean && read_to_end) return true;
    if (status == 0 && clean) {
        syslog(LOG_ERR, "file upload has failed(sftp did not read the whole queue)");
        return false;
    }
    if (file_size(paths::sftp_error) == 0) {
        syslog(LOG_ERR, "file upload has failed(check host or credentials)");
        return false;
    }
    const char* error_lines = read_all_lines(paths::sftp_error);
    if (sftp_stalled(status, static_cast<uint64_t>(session_seconds), stall_seconds, error_lines))
        syslog(LOG_ERR,
               "file upload has failed(%sthe server did not answer within the stall limit of %u s)",
               error_lines, stall_seconds);
    else
        syslog(LOG_ERR, "file upload has failed(%s)", error_lines);
    return false;
}
