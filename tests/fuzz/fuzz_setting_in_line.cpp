// Fuzz target for setting_in_line. Input: the key, a NUL, the line (when the input holds
// no NUL, the key is MOD_CRATEFERRY_SCANFOLDER and the input is the line). The line sits
// in a buffer of exactly its size, so ASan catches any read or write outside it.
// Properties, for any key without NUL and any line:
// - the result is null or points into the line, and ends inside it;
// - it agrees with a model of the documented rules: the line ends at its first NUL, is
//   cut at its first CR and its first LF, then at its last double quote; the text
//   before the first '=' equals the key, ASCII letters compared without case and
//   nothing trimmed; the value is the text after that '=', less one opening quote;
// - a line that begins with '#' never matches a key that does not.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "settings/settings.h"

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_key(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

// The value the documented rules give for `line` and `key`; false when the line is no
// line for the key.
bool model_value(std::string line, const std::string& key, std::string* value) {
    line = line.substr(0, line.find('\0'));
    line = line.substr(0, line.find_first_of("\r\n"));
    const size_t last_quote = line.rfind('"');
    if (last_quote != std::string::npos) line.erase(last_quote);
    const size_t equals = line.find('=');
    if (equals == std::string::npos || !same_key(line.substr(0, equals), key)) return false;
    *value = line.substr(equals + 1);
    if (!value->empty() && (*value)[0] == '"') value->erase(0, 1);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const bool has_key = memchr(data, '\0', size) != nullptr;
    const std::vector<std::string> parts = split_input(data, size, 2);
    const std::string key = has_key ? parts[0] : "MOD_CRATEFERRY_SCANFOLDER";
    const std::string line = has_key ? parts[1] : parts[0];

    char* buffer = static_cast<char*>(malloc(line.size() + 1));
    memcpy(buffer, line.data(), line.size());
    buffer[line.size()] = '\0';
    const char* found = setting_in_line(buffer, key.c_str());
    const std::string detail = "key:  " + printable(key) + "\nline: " + printable(line);

    std::string expected;
    const bool matches = model_value(line, key, &expected);
    if (found != nullptr) {
        require(found >= buffer && found + strlen(found) <= buffer + line.size(),
                "the value lies inside the line", detail);
    }
    require(matches == (found != nullptr), "a line matches the key exactly when the rules say so",
            detail + "\nfound: " + (found != nullptr ? printable(found) : "null"));
    if (found != nullptr)
        require(found == expected, "the value is the one the rules give",
                detail + "\nfound:    " + printable(found) + "\nexpected: " + printable(expected));
    if (!line.empty() && line[0] == '#' && (key.empty() || key[0] != '#'))
        require(found == nullptr, "a line that begins with '#' never matches", detail);
    free(buffer);
    return 0;
}
