// Sending one file with curl, and the curl argument texts shared with the download.
#include <sys/wait.h>
#include <syslog.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <strings.h>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "settings/settings.h"
#include "transfer/transfer.h"

namespace {

// The environment variable that carries curl's user option to the transfer's shell.
constexpr char k_credentials_variable[] = "CRATEFERRY_CURL_USER";

// curl's exit code for an operation that timed out: the connect timeout or the
// low-speed limit.
constexpr int k_curl_timed_out = 28;

// The value of one hex digit, or -1.
int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A URL cut around the last segment of its path.
struct UrlParts {
    std::string folder;        // up to and including the path's last '/' (added when the path is empty)
    std::string last_segment;  // as written, empty when the path ends in '/'
    std::string rest;          // "?query" and "#fragment"
};

UrlParts split_url(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t authority = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t path_end = std::min(url.find_first_of("?#", authority), url.size());
    const size_t path_start = std::min(url.find('/', authority), path_end);
    if (path_start == path_end) return {url.substr(0, path_end) + "/", "", url.substr(path_end)};
    const size_t last_slash = url.rfind('/', path_end - 1);
    return {url.substr(0, last_slash + 1), url.substr(last_slash + 1, path_end - last_slash - 1),
            url.substr(path_end)};
}

// The last component of a local path.
std::string file_name_of(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// True when curl would read a glob pattern in `text`.
bool has_curl_glob(const std::string& text) {
    return text.find_first_of("[]{}") != std::string::npos;
}

}  // namespace

std::string curl_stall_options() {
    const std::string seconds = std::to_string(stall_seconds(cfg));
    return "--connect-timeout " + seconds + " -Y 1 -y " + seconds + " ";
}

bool curl_stalled(int status) {
    return status > 0 && WIFEXITED(status) && WEXITSTATUS(status) == k_curl_timed_out;
}

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

std::string percent_encode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (isalnum(byte) || (byte != 0 && strchr("-._~", byte) != nullptr)) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0xf];
        }
    }
    return encoded;
}

std::string percent_decode(const std::string& text) {
    std::string decoded;
    for (size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() && text[i] == '%' ? hex_value(text[i + 1]) : -1;
        const int low = high >= 0 ? hex_value(text[i + 2]) : -1;
        if (low < 0) {
            decoded += text[i];
            continue;
        }
        decoded += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return decoded;
}

std::string temporary_name(const std::string& name) {
    return "." + name + ".cfpart";
}

bool is_ftp_url(const char* url) {
    return strncasecmp(url, "ftp://", 6) == 0 || strncasecmp(url, "ftps://", 7) == 0;
}

unsigned char ftp_unsendable_byte(const std::string& name) {
    constexpr unsigned char k_telnet_iac = 0xff;
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == k_telnet_iac) return byte;
    }
    return 0;
}

unsigned char curl_unsendable_byte(const char* path, const char* remoteurl) {
    if (!is_ftp_url(remoteurl) || !split_url(remoteurl).last_segment.empty()) return 0;
    return ftp_unsendable_byte(file_name_of(path));
}

std::string url_last_segment(const std::string& url) {
    return split_url(url).last_segment;
}

std::string curl_acceptable_url(const std::string& url) {
    std::string acceptable;
    for (char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        acceptable += byte <= 0x20 || byte == 0x7f ? percent_encode(std::string(1, c)) : std::string(1, c);
    }
    return acceptable;
}

std::string curl_target_url(const char* remoteurl, const char* path) {
    const std::string name = file_name_of(path);
    if (name.find('\\') == std::string::npos) return remoteurl;
    const UrlParts url = split_url(remoteurl);
    // curl names the remote file itself only when the URL's path is empty or ends in '/'.
    if (!url.last_segment.empty()) return remoteurl;
    return url.folder + percent_encode(name) + url.rest;
}

CurlTarget curl_target(const char* path, const char* remoteurl) {
    if (cfg.tempupload == 0 || !is_ftp_url(remoteurl)) return {curl_target_url(remoteurl, path), "", ""};
    const UrlParts parts = split_url(remoteurl);
    const std::string name =
        parts.last_segment.empty() ? file_name_of(path) : percent_decode(parts.last_segment);
    const std::string temporary = temporary_name(name);
    return {parts.folder + percent_encode(temporary) + parts.rest, temporary, name};
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

std::string curl_upload_command(const char* path, const char* remoteurl) {
    const CurlTarget target = curl_target(path, remoteurl);
    const std::string& url = target.url;
    std::string command = curl_credentials_prefix() + "curl -fSs -K - " + curl_stall_options();
    // curl runs "-"-prefixed quote commands after the transfer, in the folder it
    // stored the file in.
    if (!target.rename_from.empty())
        command += "-Q " + shell_quote("-RNFR " + target.rename_from) + " -Q " +
                   shell_quote("-RNTO " + target.rename_to) + " ";
    // -g also keeps curl from globbing the name of the file to send.
    if (has_curl_glob(path) && !has_curl_glob(url)) command += "-g ";
    command += curl_url_argument(url) + " -T " + shell_quote(path) + " 2>" + paths::curl_error;
    return command;
}

Transfer curl_upload(const char* path, const char* remoteurl, const char* username,
                     const char* password) {
    const int status = run_shell_with_secrets(curl_upload_command(path, remoteurl),
                                              {curl_credentials_secret(username, password)});
    if (status == 0) return Transfer::sent;
    if (file_size(paths::curl_error) != 0)
        syslog(LOG_ERR, "file upload has failed(%s)", read_first_line(paths::curl_error));
    return curl_stalled(status) ? Transfer::stalled : Transfer::failed;
}
