// The settings file and the one process-wide settings record.
//
// Rules a reader must not break:
// - every lookup scans from the top of the file, so the first matching line wins;
// - keys compare without regard to ASCII case, and nothing is trimmed;
// - a line is read at most 16383 characters at a time; a longer line arrives in pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct Settings {
    uint32_t enabled;
    char* scanfolder;
    uint32_t download;
    char* download_url;
    char* download_user;
    char* download_passwd;
    char* remoteurl;
    char* username;
    char* password;
    uint32_t checkftp;
    uint32_t removeolder;
    uint32_t timeunit;
    uint32_t timecount;
    uint32_t uint_type;
    uint32_t uhours;
    uint32_t uday;
    uint32_t ruploaded;
    uint32_t rint_type;
    uint32_t rhours;
    uint32_t rday;
    char* ssh_config;
    uint32_t stalltime;
    uint32_t tempupload;
    uint32_t curlbatch;
    uint32_t minage;
    char* metricsdir;
    uint32_t ratelimit;
    uint32_t parallel;
    uint32_t keeppending;
    uint32_t keepfree;
    uint32_t verify;
    // Not a key: true when the settings file was read and has no line for
    // MOD_CRATEFERRY_TIMECOUNT.
    bool timecount_missing;
    // Not a key: true when MOD_CRATEFERRY_TIMECOUNT or MOD_CRATEFERRY_TIMEUNIT holds
    // no number: no age can be told, so no file is removed by age.
    bool age_invalid;
};

// Filled once at start, read-only afterwards; its strings live until exit.
extern Settings cfg;

// Fills every field from the settings file, one key per field as the table of keys
// in settings.cpp lists them, and returns true. The file is opened without waiting
// (a FIFO never blocks) and must be a regular file; otherwise the record is left
// alone, "Cannot read settings file /opt/crateFerry/etc/settings: %s" (the error, or
// "not a regular file") is logged at LOG_ERR and false comes back.
// Logs at LOG_WARNING, in this order:
// - "%s is set twice in /opt/crateFerry/etc/settings: the line \"%s\" is used" for
//   each key that more than one line sets (the first line is used; a password's
//   value is not shown);
// - "invalid value \"%s\" for %s in /opt/crateFerry/etc/settings: %s" for each number
//   that read_number does not read as a whole number, with what is done instead:
//   the leading number is used, or the key's safe meaning (see settings.cpp);
// - "unknown setting \"%s\" in /opt/crateFerry/etc/settings" for each line
//   unknown_setting_in_line picks out, in the order of the file.
bool load_settings(Settings* settings);

// How a number value reads.
enum class NumberReading {
    number,            // an unsigned decimal that fits in 32 bits, blanks around it allowed
    number_then_text,  // such a number, then other text: the number is *value
    invalid,           // empty, no digit first (a sign, a quote, a letter), or too large
};

// Reads `text` as a settings number into *value (0 when invalid).
NumberReading read_number(const char* text, uint32_t* value);

// The text before the first '=' of `line` when it looks like a mistyped key: it
// holds "MOD_CRATEFERRY_" (any letter case) but is none of the known keys (ignoring
// case). Null for every other line: one without '=', a known key, and a comment (its
// first character other than blanks is '#'). Cuts `line` in place at that '='.
char* unknown_setting_in_line(char* line);

// The value of `key` when `line` is a line for it, else null. Cuts `line` in place:
// at the first CR, the first LF and the last double quote; skips one opening quote.
char* setting_in_line(char* line, const char* key);

// The value of the first line for `key`, or null when the key is absent or `file` is
// null. Points into the settings line buffer, valid until the next lookup.
char* find_setting(FILE* file, const char* key);

// A new heap copy of the value; an empty one when the key is absent. Never freed.
char* setting_string(FILE* file, const char* key);

// Seconds without progress after which a transfer attempt gives up: `stalltime`,
// 300 when it is 0, and at most 86400.
uint32_t stall_seconds(const Settings& settings);

// The value as read_number reads it: 0 when absent or invalid; 12abc gives 12.
uint32_t setting_number(FILE* file, const char* key);

// The name of row `index` of the table of keys, null past its end; sets *is_number to
// whether load_settings reads its value as a number. For checks of the documents.
const char* setting_key_name(size_t index, bool* is_number);
