// The queue file of one sftp session: one put line per pending file, written before
// the session. sftp reads it; the program keeps its own list of what it queued.
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

std::string sftp_queue_line(int fd, const std::string& name) {
    // The local path comes first and is no option, so no remote name is read as one.
    return "put " + open_file_path(fd) + " " + sftp_escape(name) + "\n";
}

std::string sftp_queue_lines_renamed(int fd, const std::string& name, const std::string& tag) {
    const std::string temporary = sftp_escape(temporary_name(name, tag));
    // The temporary name begins with '.', so rename reads neither name as an option.
    return "put " + open_file_path(fd) + " " + temporary + "\nrename " + temporary + " " +
           sftp_escape(name) + "\n";
}

void sftp_queue_reset(unsigned session) {
    (void)unlink(run_file(paths::sftp_queue, session).c_str());
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
    const std::string line =
        temporary_names ? sftp_queue_lines_renamed(fd, name, tag) : sftp_queue_line(fd, name);
    if (longest_line(line) > k_max_queue_line) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: its name is too long", path);
        return false;
    }
    // A queue file that cannot be written is not reported here: the session then
    // fails on it and says so.
    UniqueFile queue(fopen(run_file(paths::sftp_queue, session).c_str(), "a"));
    if (queue) (void)fwrite(line.data(), 1, line.size(), queue.get());
    return true;
}
