// Turning an error file written by a shell redirection into one log-ready line.
#include <cstring>

#include "fileutil/fileutil.h"

namespace {

constexpr char k_separator[] = "; ";

// Cuts `text` where strtok over "\r\n" would end its first token: line ends at the
// very start are skipped over, and the text is cut at the first one after them.
void cut_first_line_end(char* text) {
    char* start = text + strspn(text, "\r\n");
    if (*start != '\0') start[strcspn(start, "\r\n")] = '\0';
}

}  // namespace

const char* read_first_line(const char* path) {
    static thread_local char first_line[64];
    first_line[0] = '\0';
    UniqueFile file(fopen(path, "r"));
    if (!file) return first_line;
    if (fgets(first_line, sizeof first_line, file.get()) != nullptr) cut_first_line_end(first_line);
    return first_line;
}

const char* read_all_lines(const char* path) {
    static char all_lines[2048];
    all_lines[0] = '\0';
    UniqueFile file(fopen(path, "r"));
    if (!file) return all_lines;
    size_t fill = 0;
    // Each read leaves room for the separator and the terminator after it; reading
    // stops once fewer than 3 bytes would be left for the next line.
    while (fill + 3 < sizeof all_lines &&
           fgets(all_lines + fill, static_cast<int>(sizeof all_lines - 2 - fill), file.get()) !=
               nullptr) {
        cut_first_line_end(all_lines);
        fill = strlen(all_lines);
        memcpy(all_lines + fill, k_separator, sizeof k_separator);
        fill += 2;
    }
    return all_lines;
}
