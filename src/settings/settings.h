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
    // Not a key: true when the settings file was read and has no line for
    // MOD_CRATEFERRY_TIMECOUNT.
    bool timecount_missing;
};

// Filled once at start, read-only afterwards; its strings live until exit.
extern Settings cfg;

// Fills every field from the settings file. A file that cannot be opened gives
// empty strings and zero numbers, without a message.
// Fills every field from the settings file, one key per field as the table of keys
// in settings.cpp lists them. Then logs, at LOG_WARNING, "unknown setting \"%s\" in
// /opt/crateFerry/etc/settings" for each line unknown_setting_in_line picks out, in
// the order of the file. A file that cannot be opened gives empty strings, zero
// numbers and timecount_missing false, without a message.
void load_settings(Settings* settings);

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

// The value read as "%u": 0 when absent or not a number; 12abc gives 12, -1 and
// anything above 2^32 - 1 give 4294967295.
uint32_t setting_number(FILE* file, const char* key);

// The name of row `index` of the table of keys, null past its end; sets *is_number to
// whether load_settings reads its value as a number. For checks of the documents.
const char* setting_key_name(size_t index, bool* is_number);
