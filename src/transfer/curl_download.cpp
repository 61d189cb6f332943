// The download's command texts: the listing, the list file's lines, and the fetch of
// each listed file.
//
// Rules a reader must not break:
// - a listed name is chosen by the remote server: it is fetched as exactly itself, or
//   not at all; curl writes only into a file the download step made (/proc/self/fd/N), never
//   to a name;
// - curl decodes %XX and drops "#..." and "?..." from a URL: so only names of plain
//   characters go into the URL as they are, every other name is percent-encoded.
#include <cstring>

#include "exec/exec.h"
#include "paths.h"
#include "transfer/curl.h"

namespace {

// The URL as sed's replacement text: '\', '&' and the delimiter '#' get a backslash.
std::string sed_replacement(const char* url) {
    std::string escaped;
    for (const char* c = url; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '&' || *c == '#') escaped += '\\';
        escaped += *c;
    }
    return escaped;
}

}  // namespace

std::string download_listing_command(const char* url, const std::string& credentials,
                                     uint32_t stall_seconds, uint32_t rate_kib) {
    return credentials + "curl -K - -fSs " + curl_stall_options(stall_seconds) +
           curl_rate_option(rate_kib) + "--list-only " +
           curl_url_argument(url) + " > " + paths::download_list + " 2>" + paths::curl_error;
}

std::string download_prefix_command(const char* url, const char* list_path) {
    return "sed -i -e " + shell_quote("s#^#" + sed_replacement(url) + "#") + " " + list_path;
}

std::string download_single_command(const char* url, const char* list_path) {
    if (breaks_double_quotes(url) || url[0] == '-')
        return "printf '%s\\n' " + shell_quote(url) + " > " + list_path;
    return "echo \"" + std::string(url) + "\" > " + list_path;
}

std::string download_command(const std::string& credentials, const std::string& file_url, int fd,
                             uint32_t stall_seconds, uint32_t rate_kib) {
    return credentials + "curl -K - -fSs " + curl_stall_options(stall_seconds) +
           curl_rate_option(rate_kib) + "-o " +
           open_file_path(fd) + " " + curl_url_argument(file_url) + " 2>" + paths::curl_error;
}

bool is_literal_url_name(const std::string& name) {
    // The shell's plain characters, but for '%' (curl decodes it) and '/' (a folder).
    for (char c : name)
        if (!is_plain_char(c) || c == '%' || c == '/') return false;
    return true;
}

bool is_file_name(const std::string& name) {
    return name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool download_line_name(const char* folder_url, const std::string& line, std::string* name) {
    if (line.find('\0') != std::string::npos) return false;
    const size_t prefix_length = strlen(folder_url);
    if (prefix_length == 0) {
        *name = percent_decode(url_last_segment(line));
        return !name->empty() && is_file_name(*name);
    }
    // A line the sed step did not prefix is no name of that folder.
    if (line.compare(0, prefix_length, folder_url) != 0) return false;
    *name = line.substr(prefix_length);
    return !name->empty() && is_file_name(*name);
}

std::string download_fetch_command(const std::string& credentials, const char* folder_url,
                                   const std::string& line, const std::string& name, int fd,
                                   uint32_t stall_seconds, uint32_t rate_kib) {
    if (folder_url[0] == '\0')
        // The URL of one file: fetched as written, but for the bytes curl refuses.
        return download_command(credentials, curl_acceptable_url(line), fd, stall_seconds,
                                rate_kib);
    const std::string url = is_literal_url_name(name) ? line : folder_url + percent_encode(name);
    return download_command(credentials, url, fd, stall_seconds, rate_kib);
}

std::string download_line_command(const std::string& credentials, const char* folder_url,
                                  const std::string& line, int fd, uint32_t stall_seconds,
                                  uint32_t rate_kib) {
    std::string name;
    if (!download_line_name(folder_url, line, &name)) return std::string();
    return download_fetch_command(credentials, folder_url, line, name, fd, stall_seconds, rate_kib);
}
