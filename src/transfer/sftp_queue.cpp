// The queue file of one sftp session: one put line per pending file, written before
// the session and read back after it to finish the files it sent.
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "exec/exec.h"
#include "fileutil/fileutil.h"
#include "paths.h"
#include "transfer/transfer.h"

namespace {

// sftp reads its commands with a 2048-byte line buffer: a longer line comes in as
// two commands, and a tail that begins with '!' would run in a local shell. A queue
// line, line feed included, stays within 2047 bytes.
constexpr size_t k_max_queue_line = 2047;

// Reader state, kept for the whole process.
FILE* queue_reader = nullptr;
char* queue_line = nullptr;
size_t queue_line_size = 0;

}  // namespace

std::string sftp_queue_line(const char* path) {
    std::string line = "put ";
    // A path that begins with '-' would be read as an option of put.
    if (path[0] == '-') line += "-- ";
    for (const char* c = path; *c != '\0'; ++c) {
        // sftp's batch parser drops a backslash before any character, and one before
        // a wildcard also keeps put from globbing the name.
        if (!is_plain_char(*c)) line += '\\';
        line += *c;
    }
    line += '\n';
    return line;
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
    // Drops each escaping backslash: the inverse of sftp_queue_line.
    char* out = path;
    for (const char* in = path; *in != '\0'; ++in) {
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
    const std::string line = sftp_queue_line(path);
    if (line.size() > k_max_queue_line) {
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
    if (getline(&queue_line, &queue_line_size, queue_reader) < 0) return nullptr;
    return sftp_queue_line_path(queue_line);
}

void sftp_queue_close() {
    if (queue_reader != nullptr) fclose(queue_reader);
    queue_reader = nullptr;
}
