// The queue file of one sftp session: one put line per pending file, written before
// the session and read back after it to finish the files it sent.
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "settings/settings.h"
#include "transfer/transfer.h"

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

// Reader state, kept for the whole process.
FILE* queue_reader = nullptr;
char* queue_line = nullptr;
size_t queue_line_size = 0;

// `text` with a backslash before every character other than the plain ones: sftp's
// batch parser drops a backslash before any character, and one before a wildcard
// also keeps put from globbing the name.
std::string sftp_escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (!is_plain_char(c)) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::string sftp_queue_line(const char* path) {
    // A path that begins with '-' would be read as an option of put.
    return std::string("put ") + (path[0] == '-' ? "-- " : "") + sftp_escape(path) + "\n";
}

std::string sftp_queue_lines_renamed(const char* path) {
    // GNU basename: the text after the last '/', argument left untouched.
    const char* file_name = basename(path);
    const std::string name = sftp_escape(file_name);
    const std::string temporary = sftp_escape(temporary_name(file_name));
    std::string lines = sftp_queue_line(path);
    lines.back() = ' ';
    // The temporary name begins with '.', so neither command reads a name as an option.
    return lines + temporary + "\nrename " + temporary + " " + name + "\n";
}

void sftp_queue_reset() {
    (void)unlink(paths::sftp_queue);
}

const char* sftp_queue_line_path(char* line) {
    if (char* line_end = strrchr(line, '\n')) *line_end = '\0';
    char* put = strstr(line, "put ");
    if (put == nullptr) return nullptr;
    char* path = put + 4;
    if (strncmp(path, "-- ", 3) == 0) path += 3;
    // Drops each escaping backslash: the inverse of sftp_queue_line. An unescaped
    // blank ends the path; a remote name may follow it.
    char* out = path;
    for (const char* in = path; *in != '\0' && *in != ' '; ++in) {
        if (*in == '\\' && in[1] != '\0') ++in;
        *out++ = *in;
    }
    *out = '\0';
    return path;
}

int sftp_queue_add(const char* path) {
    // A carriage return goes through sftp's line reader intact; a line feed cannot.
    if (strchr(path, '\n') != nullptr) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: its name holds a line feed", path);
        return 0;
    }
    const std::string line =
        cfg.tempupload != 0 ? sftp_queue_lines_renamed(path) : sftp_queue_line(path);
    if (longest_line(line) > k_max_queue_line) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: its name is too long", path);
        return 0;
    }
    // A queue file that cannot be written is not reported here: the session then
    // fails on it and says so.
    UniqueFile queue(fopen(paths::sftp_queue, "a"));
    if (queue) (void)fwrite(line.data(), 1, line.size(), queue.get());
    return 1;
}

void sftp_queue_open() {
    if (queue_reader == nullptr) queue_reader = fopen(paths::sftp_queue, "r");
}

const char* sftp_queue_next() {
    if (queue_reader == nullptr) return nullptr;
    ssize_t length;
    while ((length = getline(&queue_line, &queue_line_size, queue_reader)) >= 0 &&
           strncmp(queue_line, "rename ", 7) == 0) {
    }
    if (length < 0) return nullptr;
    return sftp_queue_line_path(queue_line);
}

void sftp_queue_close() {
    if (queue_reader != nullptr) fclose(queue_reader);
    queue_reader = nullptr;
}
