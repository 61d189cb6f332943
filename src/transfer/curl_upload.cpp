// Sending one file with curl, and the curl argument texts shared with the download and
// the batch: credentials, config syntax, URL arguments.
#include <syslog.h>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/curl.h"

namespace {

// The environment variable that carries curl's user option to the transfer's shell.
constexpr char k_credentials_variable[] = "CRATEFERRY_CURL_USER";

// True when curl would read a glob pattern in `text`.
bool has_curl_glob(const std::string& text) {
    return text.find_first_of("[]{}") != std::string::npos;
}

}  // namespace

std::string curl_config_escape(const std::string& value) {
    std::string escaped;
    for (char c : value) {
        if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else {
            if (c == '\\' || c == '"') escaped += '\\';
            escaped += c;
        }
    }
    return escaped;
}

std::string curl_config_option(const char* name, const std::string& value) {
    return std::string(name) + " = \"" + curl_config_escape(value) + "\"\n";
}

std::string curl_credentials_secret(const char* user, const char* passwd) {
    const std::string credentials = std::string(user) + ':' + passwd;
    return std::string(k_credentials_variable) + "=user=\"" + curl_config_escape(credentials) + "\"";
}

std::string curl_credentials_prefix() {
    // printf prints the value as it is, where dash's echo would read backslashes.
    return std::string("printf '%s\\n' \"$") + k_credentials_variable + "\" | ";
}

std::string curl_url_argument(const std::string& url) {
    std::string argument;
    if (has_curl_glob(url)) argument += "-g ";
    if (!url.empty() && url[0] == '-') argument += "--url ";
    return argument + shell_quote(url);
}

std::string curl_upload_command(const OpenFile& file, const Remote& remote, unsigned run) {
    const CurlTarget target = curl_target(file.path.c_str(), remote);
    std::string command =
        curl_credentials_prefix() + "curl -fSs -K - " + curl_stall_options(remote.stall_seconds) +
        curl_rate_option(remote.rate_kib);
    // curl runs "-"-prefixed quote commands after the transfer, in the folder it
    // stored the file in.
    if (!target.rename_from.empty())
        command += "-Q " + shell_quote("-RNFR " + target.rename_from) + " -Q " +
                   shell_quote("-RNTO " + target.rename_to) + " ";
    return command + curl_url_argument(target.url) + " -T " + open_file_path(file.fd) + " 2>" +
           run_file(paths::curl_error, run);
}

Outcome log_upload_failure(int status, const char* error_path) {
    return log_upload_failure_text(status, file_size(error_path) != 0 ? read_first_line(error_path) : "");
}

Outcome log_upload_failure_text(int status, const std::string& first_line) {
    if (!first_line.empty())
        syslog(LOG_ERR, "file upload has failed(%s)", first_line.c_str());
    else
        // A full work folder leaves curl no room for its error text.
        syslog(LOG_ERR, "file upload has failed(curl: exit status %d, no error text)",
               exit_code(status));
    return curl_outcome(exit_code(status));
}
