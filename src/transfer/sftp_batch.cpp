// Sending every queued file in one sftp session.
#include <syslog.h>
#include <unistd.h>

#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "settings/settings.h"
#include "transfer/transfer.h"

namespace {

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

std::string ssh_stall_options() {
    // ssh gives up when the server has not answered its last probes: after
    // (count + 1) intervals of silence, which is the limit or up to 2 s more.
    constexpr uint32_t k_unanswered_probes = 2;
    const uint32_t limit = stall_seconds(cfg);
    const uint32_t interval = (limit + k_unanswered_probes) / (k_unanswered_probes + 1);
    return "-o ConnectTimeout=" + std::to_string(limit) +
           " -o ServerAliveInterval=" + std::to_string(interval) +
           " -o ServerAliveCountMax=" + std::to_string(k_unanswered_probes) + " ";
}

bool sftp_url_parts(const char* remoteurl, std::string* host, std::string* folder) {
    const char* scheme = strstr(remoteurl, "sftp://");
    if (scheme == nullptr) return false;
    const std::string rest = scheme + strlen("sftp://");
    const size_t slash = rest.find('/');
    *host = rest.substr(0, slash);
    *folder = slash == std::string::npos ? "" : rest.substr(slash);
    return true;
}

std::string sftp_batch_command(const char* username, const std::string& host,
                               const std::string& folder, bool password_login) {
    std::string command;
    if (password_login) command = std::string(paths::sshpass) + " -e ";
    command += std::string(paths::sftp) + " -S " + paths::ssh + " -F " + paths::ssh_config +
               " -o LogLevel=ERROR " + ssh_stall_options();
    const std::string target = std::string(username) + '@' + host + ':' + folder;
    // A target that begins with '-' would be read as an option of sftp.
    if (target[0] == '-') command += "-- ";
    command += shell_quote(target) + " < " + paths::sftp_queue + " 2>" + paths::sftp_error +
               " > /dev/null";
    return command;
}

int sftp_batch_upload(const char* remoteurl, const char* username, const char* password) {
    std::string host;
    std::string folder;
    if (!sftp_url_parts(remoteurl, &host, &folder)) return 0;
    mark_queue_end();
    const bool password_login = password[0] != '\0';
    const std::vector<std::string> secrets = {std::string("SSHPASS=") + password};
    const int status = run_shell_with_secrets(
        sftp_batch_command(username, host, folder, password_login),
        password_login ? secrets : std::vector<std::string>());
    const bool read_to_end = rmdir(paths::sftp_queue_end) == 0;
    const bool clean = error_text_is_clean(paths::sftp_error);
    if (status == 0 && clean && read_to_end) return 1;
    if (status == 0 && clean)
        syslog(LOG_ERR, "file upload has failed(sftp did not read the whole queue)");
    else if (file_size(paths::sftp_error) != 0)
        syslog(LOG_ERR, "file upload has failed(%s)", read_all_lines(paths::sftp_error));
    else
        syslog(LOG_ERR, "file upload has failed(check host or credentials)");
    return 0;
}
