// The download's command texts: the listing, the list file's lines, and the fetch of
// each listed file.
//
// Rules a reader must not break:
// - a listed name is chosen by the remote server: it is fetched as exactly itself and
//   stored under exactly itself in the scan folder, or not at all;
// - curl decodes %XX and drops "#..." and "?..." from a URL, and -O stores the URL's
//   last segment still encoded and cut at a backslash: so only names of plain
//   characters go into the URL as they are, every other name is percent-encoded and
//   stored with -o.
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

// A local path as a shell word for cd or curl's -o: one that begins with '-' would be
// read as an option ("-o -" as standard output), so it gets "./" in front.
std::string local_path_argument(const std::string& path) {
    return shell_quote(!path.empty() && path[0] == '-' ? "./" + path : path);
}

}  // namespace

std::string download_listing_command(const char* url, const std::string& credentials,
                                     uint32_t stall_seconds) {
    return credentials + "curl -K - -fSs " + curl_stall_options(stall_seconds) + "--list-only " +
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

std::string download_file_command(const char* folder, const std::string& credentials,
                                  const std::string& file_url, uint32_t stall_seconds) {
    return "cd " + local_path_argument(folder) + "; " + credentials + "curl -K - -fSOs " +
           curl_stall_options(stall_seconds) + curl_url_argument(file_url) + " 2>" +
           paths::curl_error;
}

std::string download_named_file_command(const char* folder, const std::string& credentials,
                                        const std::string& file_url, const std::string& name,
                                        uint32_t stall_seconds) {
    return "cd " + local_path_argument(folder) + "; " + credentials + "curl -K - -fSs " +
           curl_stall_options(stall_seconds) + "-o " + local_path_argument(name) + " " +
           curl_url_argument(file_url) + " 2>" + paths::curl_error;
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
    // A line the sed step did not prefix is fetched with -O as it is.
    if (line.compare(0, prefix_length, folder_url) != 0) {
        *name = url_last_segment(line);
        return true;
    }
    *name = line.substr(prefix_length);
    return is_file_name(*name);
}

std::string download_fetch_command(const char* folder, const std::string& credentials,
                          const char* folder_url, const std::string& line, const std::string& name,
                          uint32_t stall_seconds) {
    const size_t prefix_length = strlen(folder_url);
    if (prefix_length == 0) {
        // The URL of one file: fetched as written, but for the bytes curl refuses.
        const std::string url = curl_acceptable_url(line);
        if (url == line && url_last_segment(line) == name && is_literal_url_name(name))
            return download_file_command(folder, credentials, line, stall_seconds);
        return download_named_file_command(folder, credentials, url, name, stall_seconds);
    }
    if (line.compare(0, prefix_length, folder_url) != 0 || is_literal_url_name(name))
        return download_file_command(folder, credentials, line, stall_seconds);
    return download_named_file_command(folder, credentials, folder_url + percent_encode(name), name,
                                       stall_seconds);
}

std::string download_line_command(const char* folder, const std::string& credentials,
                                  const char* folder_url, const std::string& line,
                                  uint32_t stall_seconds) {
    std::string name;
    if (!download_line_name(folder_url, line, &name)) return std::string();
    return download_fetch_command(folder, credentials, folder_url, line, name, stall_seconds);
}
