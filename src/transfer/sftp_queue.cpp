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

// Reader state, kept for the whole process.
FILE* queue_reader = nullptr;
char* queue_line = nullptr;
size_t queue_line_size = 0;

// The inverse of the escaping in sftp_queue_line: drops each escaping backslash.
void unescape_in_place(char* text) {
    char* out = text;
    for (const char* in = text; *in != '\0'; ++in) {
        if (*in == '\\' && in[1] != '\0') ++in;
        *out++ = *in;
    }
    *out = '\0';
}

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

int sftp_queue_add(const char* path) {
    if (strpbrk(path, "\r\n") != nullptr) {
        syslog(LOG_ERR, "File %s cannot be sent by sftp: its name holds a line end", path);
        return 0;
    }
    UniqueFile queue(fopen(paths::sftp_queue, "a"));
    if (!queue) return 0;
    const std::string line = sftp_queue_line(path);
    if (fwrite(line.data(), 1, line.size(), queue.get()) != line.size()) return 0;
    return 1;
}

void sftp_queue_open() {
    if (queue_reader == nullptr) queue_reader = fopen(paths::sftp_queue, "r");
}

const char* sftp_queue_next() {
    if (queue_reader == nullptr) return nullptr;
    if (getline(&queue_line, &queue_line_size, queue_reader) < 0) return nullptr;
    if (char* line_end = strrchr(queue_line, '\n')) *line_end = '\0';
    char* put = strstr(queue_line, "put ");
    if (put == nullptr) return nullptr;
    char* path = put + 4;
    if (strncmp(path, "-- ", 3) == 0) path += 3;
    unescape_in_place(path);
    return path;
}

void sftp_queue_close() {
    if (queue_reader != nullptr) fclose(queue_reader);
    queue_reader = nullptr;
}
