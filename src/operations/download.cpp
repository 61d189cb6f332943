// Fetching one remote file, or every file of a remote folder, into the scan folder.
//
// Rules a reader must not break:
// - a listed name is chosen by the remote server: it is fetched as exactly itself and
//   stored under exactly itself in the scan folder, or not at all;
// - curl decodes %XX and drops "#..." and "?..." from a URL, and -O stores the URL's
//   last segment still encoded and cut at a backslash: so only names of plain
//   characters go into the URL as they are, every other name is percent-encoded and
//   stored with -o.
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "paths.h"
#include "transfer/transfer.h"

namespace {

// curl's exit code when the server refuses the listing itself (a 550 reply, as some
// servers give for an empty folder or a user without the right to list): the step
// ends silently.
constexpr int k_curl_listing_refused = 19;

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

// The command that fetches `line` into `folder` as `name`, which download_line_name
// gave for it.
std::string fetch_command(const char* folder, const std::string& credentials,
                          const char* folder_url, const std::string& line, const std::string& name) {
    const size_t prefix_length = strlen(folder_url);
    if (prefix_length == 0) {
        // The URL of one file: fetched as written, but for the bytes curl refuses.
        const std::string url = curl_acceptable_url(line);
        if (url == line && url_last_segment(line) == name && is_literal_url_name(name))
            return download_file_command(folder, credentials, line);
        return download_named_file_command(folder, credentials, url, name);
    }
    if (line.compare(0, prefix_length, folder_url) != 0 || is_literal_url_name(name))
        return download_file_command(folder, credentials, line);
    return download_named_file_command(folder, credentials, folder_url + percent_encode(name), name);
}

// Runs the folder listing into the list file. Returns false when the step must end.
bool list_remote_folder(const char* url, const std::string& credentials,
                        const std::vector<std::string>& secrets) {
    const int status = run_shell_with_secrets(download_listing_command(url, credentials), secrets);
    if (status == 0) return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == k_curl_listing_refused) return false;
    if (file_size(paths::curl_error) != 0) {
        syslog(LOG_ERR, "getting list of files has failed(%s)", read_first_line(paths::curl_error));
        return false;
    }
    return true;
}

// Fetches every line of the list file. `folder_url` is the folder URL that the sed
// step put in front of each listed name, or empty when the list holds one file URL.
// A fetch that stalls ends the step: the lines after it are only counted.
void download_listed_files(const char* folder, const std::string& credentials,
                           const std::vector<std::string>& secrets, const char* folder_url) {
    UniqueFile list(fopen(paths::download_list, "r"));
    if (!list) return;
    char* line = nullptr;
    size_t line_size = 0;
    ssize_t length;
    bool stalled = false;
    size_t left_unfetched = 0;
    while ((length = getline(&line, &line_size, list.get())) >= 0) {
        if (stalled) {
            ++left_unfetched;
            continue;
        }
        // The line is read whole; a NUL inside it stays part of it, so a name is never cut.
        std::string file_url(line, static_cast<size_t>(length));
        // Only a line end is cut: a CR inside a name stays and makes curl refuse it,
        // rather than fetching the file its first part names.
        if (!file_url.empty() && file_url.back() == '\n') file_url.pop_back();
        if (!file_url.empty() && file_url.back() == '\r') file_url.pop_back();
        syslog(LOG_NOTICE, "downloading %s", file_url.c_str());
        std::string name;
        if (!download_line_name(folder_url, file_url, &name)) {
            syslog(LOG_ERR, "getting file %s has failed(not a file name of that folder)",
                   file_url.c_str());
            continue;
        }
        const unsigned char unsendable = ftp_unsendable_byte(name);
        if (is_ftp_url(file_url.c_str()) && unsendable != 0) {
            syslog(LOG_ERR, "getting file %s has failed(its name holds the byte 0x%02X, which FTP cannot carry)",
                   file_url.c_str(), unsendable);
            continue;
        }
        const std::string command = fetch_command(folder, credentials, folder_url, file_url, name);
        const int status = run_shell_with_secrets(command, secrets, "-ce");
        if (status != 0 && file_size(paths::curl_error) != 0)
            syslog(LOG_ERR, "getting file %s has failed(%s)", file_url.c_str(),
                   read_all_lines(paths::curl_error));
        stalled = curl_stalled(status);
    }
    free(line);
    if (stalled)
        syslog(LOG_ERR, "download stopped after a stalled transfer: %zu more files left for the next run",
               left_unfetched);
}

}  // namespace

std::string download_listing_command(const char* url, const std::string& credentials) {
    return credentials + "curl -K - -fSs " + curl_stall_options() + "--list-only " +
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
                                  const std::string& file_url) {
    return "cd " + local_path_argument(folder) + "; " + credentials + "curl -K - -fSOs " +
           curl_stall_options() + curl_url_argument(file_url) + " 2>" + paths::curl_error;
}

std::string download_named_file_command(const char* folder, const std::string& credentials,
                                        const std::string& file_url, const std::string& name) {
    return "cd " + local_path_argument(folder) + "; " + credentials + "curl -K - -fSs " +
           curl_stall_options() + "-o " + local_path_argument(name) + " " +
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

std::string download_line_command(const char* folder, const std::string& credentials,
                                  const char* folder_url, const std::string& line) {
    std::string name;
    if (!download_line_name(folder_url, line, &name)) return std::string();
    return fetch_command(folder, credentials, folder_url, line, name);
}

void download_files(const char* folder, const char* url, const char* user, const char* passwd) {
    if (url[0] == '\0') {
        syslog(LOG_ERR, "getting files has failed(no download URL)");
        return;
    }
    // Downloads land in the scan folder or nowhere: "cd" with an empty folder would
    // go to $HOME. The upload right after logs "Cannot open dir: %s" for this folder.
    if (!is_directory(folder)) {
        syslog(LOG_ERR, "getting files has failed(Cannot open dir: %s)", folder);
        return;
    }
    // Both empty: curl gets no credentials at all.
    const bool anonymous = user[0] == '\0' && passwd[0] == '\0';
    const std::string credentials = anonymous ? std::string() : curl_credentials_prefix();
    const std::vector<std::string> secrets =
        anonymous ? std::vector<std::string>() : std::vector<std::string>{curl_credentials_secret(user, passwd)};

    if (url[strlen(url) - 1] == '/') {
        if (!list_remote_folder(url, credentials, secrets)) return;
        // Each listed name becomes a full URL.
        (void)run_shell(download_prefix_command(url));
        download_listed_files(folder, credentials, secrets, url);
    } else {
        (void)run_shell(download_single_command(url));
        download_listed_files(folder, credentials, secrets, "");
    }
    (void)unlink(paths::download_list);
}
