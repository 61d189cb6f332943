// Reading the settings file into the process-wide Settings record.
#include "settings/settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "fileutil/fileutil.h"
#include "paths.h"

Settings cfg;

namespace {

// Shared by every lookup; a value found points into it until the next lookup.
char setting_line[16384];

}  // namespace

char* setting_in_line(char* line, const char* key) {
    line[strcspn(line, "\r")] = '\0';
    line[strcspn(line, "\n")] = '\0';
    if (char* last_quote = strrchr(line, '"')) *last_quote = '\0';
    char* equals = strchr(line, '=');
    if (equals == nullptr) return nullptr;
    *equals = '\0';
    if (strcasecmp(line, key) != 0) return nullptr;
    char* value = equals + 1;
    return *value == '"' ? value + 1 : value;
}

char* find_setting(FILE* file, const char* key) {
    if (file == nullptr) return nullptr;
    rewind(file);
    while (fgets(setting_line, sizeof setting_line, file) != nullptr) {
        if (char* value = setting_in_line(setting_line, key)) return value;
    }
    return nullptr;
}

char* setting_string(FILE* file, const char* key) {
    const char* value = find_setting(file, key);
    char* copy = strdup(value != nullptr ? value : "");
    // Every operation needs a readable text in each string field: without memory
    // for a settings value the process cannot do its job safely.
    if (copy == nullptr) abort();
    return copy;
}

// The value read as "%u" reads it on the device's 32-bit C library: leading blanks
// skipped, an optional sign, decimal digits up to the first other character; a
// magnitude above 2^32 - 1 saturates and a minus sign negates modulo 2^32.
static uint32_t parse_unsigned(const char* text) {
    while (isspace(static_cast<unsigned char>(*text))) ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    if (!isdigit(static_cast<unsigned char>(*text))) return 0;
    uint64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > UINT32_MAX) return UINT32_MAX;
    }
    const auto number = static_cast<uint32_t>(magnitude);
    return negative ? 0U - number : number;
}

uint32_t setting_number(FILE* file, const char* key) {
    const char* value = find_setting(file, key);
    return value != nullptr ? parse_unsigned(value) : 0;
}

void load_settings(Settings* settings) {
    UniqueFile file(fopen(paths::settings, "r"));
    FILE* f = file.get();
    settings->enabled = setting_number(f, "MOD_CRATEFERRY_ENABLED");
    settings->scanfolder = setting_string(f, "MOD_CRATEFERRY_SCANFOLDER");
    settings->download = setting_number(f, "MOD_CRATEFERRY_DOWNLOAD");
    settings->download_url = setting_string(f, "MOD_CRATEFERRY_DOWNLOAD_URL");
    settings->download_user = setting_string(f, "MOD_CRATEFERRY_DOWNLOAD_USER");
    settings->download_passwd = setting_string(f, "MOD_CRATEFERRY_DOWNLOAD_PASSWD");
    settings->remoteurl = setting_string(f, "MOD_CRATEFERRY_REMOTEURL");
    settings->username = setting_string(f, "MOD_CRATEFERRY_USERNAME");
    settings->password = setting_string(f, "MOD_CRATEFERRY_PASSWORD");
    settings->checkftp = setting_number(f, "MOD_CRATEFERRY_CHECKFTP");
    settings->removeolder = setting_number(f, "MOD_CRATEFERRY_REMOVEOLDER");
    settings->timeunit = setting_number(f, "MOD_CRATEFERRY_TIMEUNIT");
    settings->timecount = setting_number(f, "MOD_CRATEFERRY_TIMECOUNT");
    settings->uint_type = setting_number(f, "MOD_CRATEFERRY_UINT_TYPE");
    settings->uhours = setting_number(f, "MOD_CRATEFERRY_UHOURS");
    settings->uday = setting_number(f, "MOD_CRATEFERRY_UDAY");
    settings->ruploaded = setting_number(f, "MOD_CRATEFERRY_RUPLOADED");
    settings->rint_type = setting_number(f, "MOD_CRATEFERRY_RINT_TYPE");
    settings->rhours = setting_number(f, "MOD_CRATEFERRY_RHOURS");
    settings->rday = setting_number(f, "MOD_CRATEFERRY_RDAY");
    settings->ssh_config = setting_string(f, "MOD_CRATEFERRY_SSH_CONFIG");
    settings->stalltime = setting_number(f, "MOD_CRATEFERRY_STALLTIME");
    settings->tempupload = setting_number(f, "MOD_CRATEFERRY_TEMPUPLOAD");
    settings->curlbatch = setting_number(f, "MOD_CRATEFERRY_CURLBATCH");
    settings->minage = setting_number(f, "MOD_CRATEFERRY_MINAGE");
}

uint32_t stall_seconds(const Settings& settings) {
    constexpr uint32_t k_default_stall_seconds = 300;
    // ssh refuses times beyond 2^31 - 1 and counts its connect timeout in
    // milliseconds: a day is far above any useful limit and safe for every tool.
    constexpr uint32_t k_max_stall_seconds = 86400;
    if (settings.stalltime == 0) return k_default_stall_seconds;
    return settings.stalltime < k_max_stall_seconds ? settings.stalltime : k_max_stall_seconds;
}
