// Fetching one remote file, or every file of a remote folder, into the scan folder.
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

// curl's exit code when the remote folder does not exist: the step ends silently.
constexpr int k_curl_no_remote_folder = 19;

// The URL as sed's replacement text: '\', '&' and the delimiter '#' get a backslash.
std::string sed_replacement(const char* url) {
    std::string escaped;
    for (const char* c = url; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '&' || *c == '#') escaped += '\\';
        escaped += *c;
    }
    return escaped;
}

// A folder as the argument of cd: one that begins with '-' would be read as an option.
std::string cd_argument(const char* folder) {
    return shell_quote(folder[0] == '-' ? std::string("./") + folder : std::string(folder));
}

// Runs the folder listing into the list file. Returns false when the step must end.
bool list_remote_folder(const char* url, const std::string& credentials) {
    const int status = run_shell(download_listing_command(url, credentials));
    if (status == 0) return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == k_curl_no_remote_folder) return false;
    if (file_size(paths::curl_error) != 0) {
        syslog(LOG_ERR, "getting list of files has failed(%s)", read_first_line(paths::curl_error));
        return false;
    }
    return true;
}

void download_listed_files(const char* folder, const std::string& credentials) {
    UniqueFile list(fopen(paths::download_list, "r"));
    if (!list) return;
    char* line = nullptr;
    size_t line_size = 0;
    while (getline(&line, &line_size, list.get()) >= 0) {
        if (char* lf = strrchr(line, '\n')) *lf = '\0';
        if (char* cr = strrchr(line, '\r')) *cr = '\0';
        syslog(LOG_NOTICE, "downloading %s", line);
        const int status = run_command("/bin/sh", "-ce",
                                       download_file_command(folder, credentials, line).c_str(),
                                       nullptr);
        if (status != 0 && file_size(paths::curl_error) != 0)
            syslog(LOG_ERR, "getting file %s has failed(%s)", line, read_all_lines(paths::curl_error));
    }
    free(line);
}

}  // namespace

std::string download_listing_command(const char* url, const std::string& credentials) {
    return credentials + "curl -K - -fSs --list-only " + curl_url_argument(url) + " > " +
           paths::download_list + " 2>" + paths::curl_error;
}

std::string download_prefix_command(const char* url) {
    return "sed -i -e " + shell_quote("s#^#" + sed_replacement(url) + "#") + " " + paths::download_list;
}

std::string download_single_command(const char* url) {
    if (breaks_double_quotes(url) || url[0] == '-')
        return "printf '%s\\n' " + shell_quote(url) + " > " + paths::download_list;
    return "echo \"" + std::string(url) + "\" > " + paths::download_list;
}

std::string download_file_command(const char* folder, const std::string& credentials,
                                  const std::string& file_url) {
    return "cd " + cd_argument(folder) + "; " + credentials + "curl -K - -fSOs " +
           curl_url_argument(file_url) + " 2>" + paths::curl_error;
}

void download_files(const char* folder, const char* url, const char* user, const char* passwd) {
    if (url[0] == '\0') {
        syslog(LOG_ERR, "getting files has failed(no download URL)");
        return;
    }
    // Downloads land in the scan folder or nowhere: never in the current folder.
    if (!is_directory(folder)) {
        syslog(LOG_ERR, "Cannot open dir: %s", folder);
        return;
    }
    const std::string credentials =
        user[0] == '\0' && passwd[0] == '\0' ? std::string() : curl_credentials_prefix(user, passwd);

    if (url[strlen(url) - 1] == '/') {
        if (!list_remote_folder(url, credentials)) return;
        // Each listed name becomes a full URL.
        (void)run_shell(download_prefix_command(url));
    } else {
        (void)run_shell(download_single_command(url));
    }
    download_listed_files(folder, credentials);
    (void)unlink(paths::download_list);
}
