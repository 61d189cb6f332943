// Reading the settings file into the process-wide Settings record.
#include "settings/settings.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <strings.h>
#include <syslog.h>

#include "fileutil/fileutil.h"
#include "paths.h"

Settings cfg;

namespace {

// Shared by every lookup; a value found points into it until the next lookup.
char setting_line[16384];

constexpr char k_timecount_key[] = "MOD_CRATEFERRY_TIMECOUNT";

// One key of the settings file and the field it fills: a number or a text.
struct SettingKey {
    const char* name;
    uint32_t Settings::*number;
    char* Settings::*text;
};

// Every key the program knows. load_settings fills one field per row, and a line
// naming any other MOD_CRATEFERRY_ key is warned about: a key added here is known.
constexpr SettingKey k_setting_keys[] = {
    {"MOD_CRATEFERRY_ENABLED", &Settings::enabled, nullptr},
    {"MOD_CRATEFERRY_SCANFOLDER", nullptr, &Settings::scanfolder},
    {"MOD_CRATEFERRY_DOWNLOAD", &Settings::download, nullptr},
    {"MOD_CRATEFERRY_DOWNLOAD_URL", nullptr, &Settings::download_url},
    {"MOD_CRATEFERRY_DOWNLOAD_USER", nullptr, &Settings::download_user},
    {"MOD_CRATEFERRY_DOWNLOAD_PASSWD", nullptr, &Settings::download_passwd},
    {"MOD_CRATEFERRY_REMOTEURL", nullptr, &Settings::remoteurl},
    {"MOD_CRATEFERRY_USERNAME", nullptr, &Settings::username},
    {"MOD_CRATEFERRY_PASSWORD", nullptr, &Settings::password},
    {"MOD_CRATEFERRY_CHECKFTP", &Settings::checkftp, nullptr},
    {"MOD_CRATEFERRY_REMOVEOLDER", &Settings::removeolder, nullptr},
    {"MOD_CRATEFERRY_TIMEUNIT", &Settings::timeunit, nullptr},
    {k_timecount_key, &Settings::timecount, nullptr},
    {"MOD_CRATEFERRY_UINT_TYPE", &Settings::uint_type, nullptr},
    {"MOD_CRATEFERRY_UHOURS", &Settings::uhours, nullptr},
    {"MOD_CRATEFERRY_UDAY", &Settings::uday, nullptr},
    {"MOD_CRATEFERRY_RUPLOADED", &Settings::ruploaded, nullptr},
    {"MOD_CRATEFERRY_RINT_TYPE", &Settings::rint_type, nullptr},
    {"MOD_CRATEFERRY_RHOURS", &Settings::rhours, nullptr},
    {"MOD_CRATEFERRY_RDAY", &Settings::rday, nullptr},
    {"MOD_CRATEFERRY_SSH_CONFIG", nullptr, &Settings::ssh_config},
    {"MOD_CRATEFERRY_STALLTIME", &Settings::stalltime, nullptr},
    {"MOD_CRATEFERRY_TEMPUPLOAD", &Settings::tempupload, nullptr},
    {"MOD_CRATEFERRY_CURLBATCH", &Settings::curlbatch, nullptr},
    {"MOD_CRATEFERRY_KEEPPENDING", &Settings::keeppending, nullptr},
    {"MOD_CRATEFERRY_KEEPFREE", &Settings::keepfree, nullptr},
    {"MOD_CRATEFERRY_MINAGE", &Settings::minage, nullptr},
    {"MOD_CRATEFERRY_METRICSDIR", nullptr, &Settings::metricsdir},
    {"MOD_CRATEFERRY_RATELIMIT", &Settings::ratelimit, nullptr},
    {"MOD_CRATEFERRY_PARALLEL", &Settings::parallel, nullptr},
};

bool is_known_key(const char* text) {
    for (const SettingKey& key : k_setting_keys) {
        if (strcasecmp(text, key.name) == 0) return true;
    }
    return false;
}

// Every line is read as find_setting reads it, so a line too long for one read is
// looked at piece by piece.
void warn_unknown_settings(FILE* file) {
    if (file == nullptr) return;
    rewind(file);
    while (fgets(setting_line, sizeof setting_line, file) != nullptr) {
        if (const char* text = unknown_setting_in_line(setting_line))
            syslog(LOG_WARNING, "unknown setting \"%s\" in %s", text, paths::settings);
    }
}

}  // namespace

char* unknown_setting_in_line(char* line) {
    if (line[strspn(line, " \t")] == '#') return nullptr;
    char* equals = strchr(line, '=');
    if (equals == nullptr) return nullptr;
    *equals = '\0';
    if (strcasestr(line, "MOD_CRATEFERRY_") == nullptr || is_known_key(line)) return nullptr;
    return line;
}

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
    for (const SettingKey& key : k_setting_keys) {
        if (key.number != nullptr)
            settings->*key.number = setting_number(f, key.name);
        else
            settings->*key.text = setting_string(f, key.name);
    }
    settings->timecount_missing = f != nullptr && find_setting(f, k_timecount_key) == nullptr;
    warn_unknown_settings(f);
}

const char* setting_key_name(size_t index, bool* is_number) {
    if (index >= std::size(k_setting_keys)) return nullptr;
    *is_number = k_setting_keys[index].number != nullptr;
    return k_setting_keys[index].name;
}

uint32_t stall_seconds(const Settings& settings) {
    constexpr uint32_t k_default_stall_seconds = 300;
    // ssh refuses times beyond 2^31 - 1 and counts its connect timeout in
    // milliseconds: a day is far above any useful limit and safe for every tool.
    constexpr uint32_t k_max_stall_seconds = 86400;
    if (settings.stalltime == 0) return k_default_stall_seconds;
    return settings.stalltime < k_max_stall_seconds ? settings.stalltime : k_max_stall_seconds;
}
