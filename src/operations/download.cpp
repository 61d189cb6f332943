// Fetching one remote file, or every file of a remote folder, into the scan folder:
// the step runs the commands the curl module builds and logs what they did.
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "operations/operations.h"
#include "paths.h"
#include "transfer/curl.h"

namespace {

// curl's exit code when the server refuses the listing itself (a 550 reply, as some
// servers give for an empty folder or a user without the right to list): the step
// ends silently.
constexpr int k_curl_listing_refused = 19;

// The credentials of every command of the step, and its stall limit.
struct DownloadLogin {
    std::string credentials;  // empty, or curl_credentials_prefix()
    std::vector<std::string> secrets;
    uint32_t stall_seconds;
};

// Runs the folder listing into the list file. Returns false when the step must end.
bool list_remote_folder(const char* url, const DownloadLogin& login) {
    const int status = run_shell_with_secrets(
        download_listing_command(url, login.credentials, login.stall_seconds), login.secrets);
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
void download_listed_files(const char* folder, const DownloadLogin& login,
                           const char* folder_url) {
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
        const std::string command = download_fetch_command(
            folder, login.credentials, folder_url, file_url, name, login.stall_seconds);
        const int status = run_shell_with_secrets(command, login.secrets, "-ce");
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

void download_files(const char* folder, const char* url, const char* user, const char* passwd,
                    uint32_t stall_seconds) {
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
    DownloadLogin login{std::string(), {}, stall_seconds};
    if (user[0] != '\0' || passwd[0] != '\0') {
        login.credentials = curl_credentials_prefix();
        login.secrets.push_back(curl_credentials_secret(user, passwd));
    }

    if (url[strlen(url) - 1] == '/') {
        if (!list_remote_folder(url, login)) return;
        // Each listed name becomes a full URL.
        (void)run_shell(download_prefix_command(url, paths::download_list));
        download_listed_files(folder, login, url);
    } else {
        (void)run_shell(download_single_command(url, paths::download_list));
        download_listed_files(folder, login, "");
    }
    (void)unlink(paths::download_list);
}
