// The queue file of one sftp session: one put line per pending file, written before
// the session. sftp reads it; the program keeps its own list of what it queued.
#include <dirent.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/curl.h"
#include "transfer/sftp.h"

namespace {

// sftp reads its commands with a 2048-byte line buffer: a longer line comes in as
// two commands, and a tail that begins with '!' would run in a local shell. A queue
// line, line feed included, stays within 2047 bytes.
constexpr size_t k_max_queue_line = 2047;

// The length of the longest line of `lines`, line feed included.
size_t longest_line(const std::string& lines) {
    size_t longest = 0;
    for (size_t start = 0; start < lines.size();) {
        const size_t end = std::min(lines.find('\n', start), lines.size() - 1);
        longest = std::max(longest, end + 1 - start);
        start = end + 1;
    }
    return longest;
}

}  // namespace

// sftp's batch parser drops a backslash before any character, and one before a
// wildcard also keeps put from globbing the name.
std::string sftp_escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (!is_plain_char(c)) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

std::string sftp_queue_line(const std::string& name, unsigned session) {
    // The local path begins with '/', so it is no option; put with no remote name
    // does not first ask the server whether that name is a folder.
    return "put " + sftp_escape(run_file(paths::sftp_links, session) + "/" + name) + "\n";
}

std::string sftp_queue_lines_renamed(const std::string& name, const std::string& tag,
                                     unsigned session) {
    const std::string temporary = temporary_name(name, tag);
    // The temporary name begins with '.', so rename reads neither name as an option.
    return sftp_queue_line(temporary, session) + "rename " + sftp_escape(temporary) + " " +
           sftp_escape(name) + "\n";
}

void sftp_queue_clear(unsigned session) {
    (void)unlink(run_file(paths::sftp_queue, session).c_str());
    const std::string folder = run_file(paths::sftp_links, session);
    // The folder is the program's own, in its work folder: its entries are the links
    // an earlier session made.
    if (UniqueDir links{opendir(folder.c_str())}) {
        while (const dirent* entry = readdir(links.get()))
            if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
                (void)unlinkat(dirfd(links.get()), entry->d_name, 0);
    }
    (void)rmdir(folder.c_str());
}

void sftp_queue_reset(unsigned session) {
    sftp_queue_clear(session);
    // A folder that cannot be made fails each link, and the files are not queued.
    (void)mkdir(run_file(paths::sftp_links, session).c_str(), 0700);
}

bool sftp_queue_add(const char* path, int fd, bool temporary_names, const std::string& tag,
                    unsigned session) {
    // A carriage return goes through sftp's line reader intact; a line feed cannot.
    if (strchr(path, '\n') != nullptr) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: its name holds a line feed", path);
        return false;
    }
    // GNU basename: the text after the last '/', argument left untouched.
    const std::string name = basename(path);
    const std::string line = temporary_names ? sftp_queue_lines_renamed(name, tag, session)
                                             : sftp_queue_line(name, session);
    if (longest_line(line) > k_max_queue_line) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: its name is too long", path);
        return false;
    }
    const std::string folder = run_file(paths::sftp_links, session);
    const std::string link = folder + "/" + (temporary_names ? temporary_name(name, tag) : name);
    if (symlink(open_file_path(fd).c_str(), link.c_str()) != 0) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: Cannot link it in %s: %m", path,
               folder.c_str());
        return false;
    }
    // A queue file that cannot be written is not reported here: the session then
    // fails on it and says so.
    UniqueFile queue(fopen(run_file(paths::sftp_queue, session).c_str(), "a"));
    if (queue) (void)fwrite(line.data(), 1, line.size(), queue.get());
    return true;
}
