// Fetching one remote file, or every file of a remote folder, into the scan folder:
// the step runs the commands the curl module builds and logs what they did.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
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
// New names tried for a file in the making when one is taken.
constexpr int k_temporary_tries = 8;

struct DownloadLogin {
    std::string credentials;  // empty, or curl_credentials_prefix()
    std::vector<std::string> secrets;
    uint32_t stall_seconds;
    uint32_t rate_kib;
};

// Runs the folder listing into the list file. Returns false when the step must end.
bool list_remote_folder(const char* url, const DownloadLogin& login) {
    const int status = run_shell_with_secrets(
        download_listing_command(url, login.credentials, login.stall_seconds, login.rate_kib),
        login.secrets);
    if (status == 0) return true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == k_curl_listing_refused) return false;
    if (file_size(paths::curl_error) != 0)
        syslog(LOG_ERR, "getting list of files has failed(%s)", read_first_line(paths::curl_error));
    else
        // A full work folder leaves no room for the list, nor for curl's error text.
        syslog(LOG_ERR, "getting list of files has failed(curl: exit status %d, no error text)",
               exit_code(status));
    return false;
}

// True, after a warning, when `name` is a file of the folder that is still pending:
// it is uploaded as it is, and not replaced by a download of the same name.
bool pending_here(int folder_fd, const char* folder, const std::string& name,
                  const timespec& reference_time) {
    struct stat st;
    if (fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        !is_pending(file_state_of(st), reference_time))
        return false;
    syslog(LOG_WARNING, "File %s is not uploaded yet: its download is skipped for this run",
           join_path(folder, name.c_str()).c_str());
    return true;
}

// Fetches `file_url` into a new file of the folder, renamed to `name` only once curl
// said it is whole; the file in the making goes on any failure. Returns the wait
// status of the fetch (0 for a file stored).
int fetch_into_folder(int folder_fd, const DownloadLogin& login, const char* folder_url,
                      const std::string& file_url, const std::string& name) {
    // A name nobody can plan for: an entry of that name was put there by someone else
    // and is left alone, and another name is tried. curl never writes through a name.
    std::string temporary;
    UniqueFd fd;
    for (int tries = 0; tries < k_temporary_tries && fd.get() < 0; ++tries) {
        temporary = paths::download_temporary_prefix + std::to_string(getpid()) + "." + random_tag();
        fd.reset(openat(folder_fd, temporary.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.get() < 0 && errno != EEXIST) break;
    }
    if (fd.get() < 0) {
        syslog(LOG_ERR, "getting file %s has failed(Cannot create %s: %m)", file_url.c_str(),
               temporary.c_str());
        return -1;
    }
    const int status = run_shell_with_secrets(
        download_fetch_command(login.credentials, folder_url, file_url, name, fd.get(),
                               login.stall_seconds, login.rate_kib),
        login.secrets, {fd.get()});
    if (status == 0 && renameat(folder_fd, temporary.c_str(), folder_fd, name.c_str()) == 0)
        return 0;
    if (status == 0)
        syslog(LOG_ERR, "getting file %s has failed(Cannot rename %s to its name: %m)",
               file_url.c_str(), temporary.c_str());
    else if (file_size(paths::curl_error) != 0)
        syslog(LOG_ERR, "getting file %s has failed(%s)", file_url.c_str(),
               read_all_lines(paths::curl_error));
    else
        syslog(LOG_ERR, "getting file %s has failed(curl: exit status %d, no error text)",
               file_url.c_str(), exit_code(status));
    (void)unlinkat(folder_fd, temporary.c_str(), 0);
    return status == 0 ? -1 : status;
}

// Fetches every line of the list file. `folder_url` is the folder URL that the sed
// step put in front of each listed name, or empty when the list holds one file URL.
// A fetch that stalls ends the step: the lines after it are only counted. So does a
// line that lacks the folder URL: the list was not prepared, and no line of it is
// fetched as a URL of its own.
void download_listed_files(int folder_fd, const char* folder, const DownloadLogin& login,
                           const char* folder_url, const timespec& reference_time) {
    UniqueFile list(fopen(paths::download_list, "r"));
    if (!list) return;
    char* line = nullptr;
    size_t line_size = 0;
    ssize_t length;
    bool stalled = false;
    size_t left_unfetched = 0;
    const size_t prefix_length = strlen(folder_url);
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
        if (file_url.compare(0, prefix_length, folder_url) != 0) {
            syslog(LOG_ERR, "getting files has failed(the download list could not be prepared)");
            break;
        }
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
        if (pending_here(folder_fd, folder, name, reference_time)) continue;
        stalled = curl_stalled(fetch_into_folder(folder_fd, login, folder_url, file_url, name));
    }
    free(line);
    if (stalled)
        syslog(LOG_ERR, "download stopped after a stalled transfer: %zu more files left for the next run",
               left_unfetched);
}

}  // namespace

void download_files(int folder_fd, const char* folder, const char* url, const char* user,
                    const char* passwd, uint32_t stall_seconds, uint32_t rate_kib,
                    const timespec& reference_time) {
    if (url[0] == '\0') {
        syslog(LOG_ERR, "getting files has failed(no download URL)");
        return;
    }
    // Downloads land in the scan folder or nowhere. The upload right after logs
    // "Cannot open dir: %s" for this folder.
    if (folder_fd < 0) {
        syslog(LOG_ERR, "getting files has failed(Cannot open dir: %s)", folder);
        return;
    }
    // Both empty: curl gets no credentials at all.
    DownloadLogin login{std::string(), {}, stall_seconds, rate_kib};
    if (user[0] != '\0' || passwd[0] != '\0') {
        login.credentials = curl_credentials_prefix();
        login.secrets.push_back(curl_credentials_secret(user, passwd));
    }

    const bool folder_url = url[strlen(url) - 1] == '/';
    if (folder_url && !list_remote_folder(url, login)) return;
    // A folder's listed names each become a full URL; one file's URL is the one line.
    const int prepared = run_shell(folder_url ? download_prefix_command(url, paths::download_list)
                                              : download_single_command(url, paths::download_list));
    if (prepared != 0)
        syslog(LOG_ERR, "getting files has failed(the download list could not be prepared)");
    else
        download_listed_files(folder_fd, folder, login, folder_url ? url : "", reference_time);
    (void)unlink(paths::download_list);
}
