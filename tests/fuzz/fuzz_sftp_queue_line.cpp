// Fuzz target for the sftp queue line. Property, for any file name without NUL or '/':
// for a name without a line feed (sftp_queue_add refuses the others) the line ends in
// its only line feed, and a model of sftp's batch command reader makes of it the words
// "put" and the path of the name's link in the session's links folder, with no
// wildcard or comment left active: sftp names the remote file after that link.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "transfer/sftp.h"

namespace {

struct BatchLine {
    std::vector<std::string> words;
    bool misread = false;  // an active wildcard, a comment, an open quote, a lone backslash
    std::string why;
};

// How sftp reads one command line of a batch file, on the strict side of its manual:
// words are split at blanks outside quotes; a backslash makes the next character literal
// and goes; single and double quotes group and go; '#' at the start of a word begins a
// comment; glob(3) and tilde characters that are neither escaped nor quoted make put
// read a pattern instead of the name. Carriage return, vertical tab and form feed count
// as blanks too, the strict choice.
BatchLine read_batch_line(const std::string& line) {
    BatchLine read;
    std::string word;
    bool in_word = false;
    char quote = '\0';
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\\') {
            if (i + 1 == line.size()) {
                read.misread = true;
                read.why = "a backslash ends the line";
                break;
            }
            word += line[++i];
            in_word = true;
        } else if (quote != '\0') {
            if (c == quote)
                quote = '\0';
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (strchr(" \t\r\v\f", c) != nullptr) {
            if (in_word) read.words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            if (c == '#' && !in_word) {
                read.misread = true;
                read.why = "an active '#' begins a comment";
            }
            if (strchr("*?[]{}~", c) != nullptr) {
                read.misread = true;
                read.why = std::string("an active '") + c + "' makes a pattern";
            }
            word += c;
            in_word = true;
        }
    }
    if (quote != '\0') {
        read.misread = true;
        read.why = "a quote stays open";
    }
    if (in_word) read.words.push_back(word);
    return read;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += "[" + printable(word) + "]";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);

    std::string name = without_nul(raw);
    name.erase(std::remove(name.begin(), name.end(), '/'), name.end());
    const std::string line = sftp_queue_line(name, 2);
    if (name.empty() || name.find('\n') != std::string::npos) return 0;
    require(line.find('\n') == line.size() - 1, "the line's one line feed ends it",
            "name: " + printable(name) + "\nline: " + printable(line));
    const BatchLine batch = read_batch_line(line.substr(0, line.size() - 1));
    const std::vector<std::string> expected = {"put", "/var/crateFerry/sftp_files.3/" + name};
    require(!batch.misread && batch.words == expected,
            "sftp reads the line as put and the path of the name's link",
            "name:  " + printable(name) + "\nline:  " + printable(line) +
                "\nwords: " + joined(batch.words) + "\n" + batch.why);
    return 0;
}
