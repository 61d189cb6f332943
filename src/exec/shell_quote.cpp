// Quoting values for /bin/sh, the one place that decides what the shell may see.
#include <cstring>

#include "exec/exec.h"

bool is_plain_char(char c) {
    return c != '\0' && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           strchr("@%+=:,./_-", c) != nullptr);
}

std::string shell_quote(const std::string& value) {
    bool plain = true;
    for (char c : value) plain = plain && is_plain_char(c);
    if (plain) return value;

    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

bool breaks_double_quotes(const std::string& value) {
    return value.find_first_of("\"\\$`\r\n") != std::string::npos;
}
