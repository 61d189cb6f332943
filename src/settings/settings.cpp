// Reading the settings file into the process-wide Settings record.
#include "settings/settings.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "fileutil/fileutil.h"
#include "paths.h"

Settings cfg;

namespace {

// Shared by every lookup; a value found points into it until the next lookup.
char setting_line[16384];

constexpr char k_timecount_key[] = "MOD_CRATEFERRY_TIMECOUNT";

// What an invalid number of a key means instead: the value that does least harm.
enum class WhenInvalid {
    not_set,       // 0, as when the key is absent
    keep_pending,  // 1: pending files are kept
    no_age,        // no file is removed by age
};

// One key of the settings file and the field it fills: a number or a text.
struct SettingKey {
    const char* name;
    uint32_t Settings::*number;
    char* Settings::*text;
    WhenInvalid when_invalid;
};

constexpr WhenInvalid k_not_set = WhenInvalid::not_set;

// Every key the program knows. load_settings fills one field per row, and a line
// naming any other MOD_CRATEFERRY_ key is warned about: a key added here is known.
constexpr SettingKey k_setting_keys[] = {
    {"MOD_CRATEFERRY_ENABLED", &Settings::enabled, nullptr, k_not_set},
    {"MOD_CRATEFERRY_SCANFOLDER", nullptr, &Settings::scanfolder, k_not_set},
    {"MOD_CRATEFERRY_DOWNLOAD", &Settings::download, nullptr, k_not_set},
    {"MOD_CRATEFERRY_DOWNLOAD_URL", nullptr, &Settings::download_url, k_not_set},
    {"MOD_CRATEFERRY_DOWNLOAD_USER", nullptr, &Settings::download_user, k_not_set},
    {"MOD_CRATEFERRY_DOWNLOAD_PASSWD", nullptr, &Settings::download_passwd, k_not_set},
    {"MOD_CRATEFERRY_REMOTEURL", nullptr, &Settings::remoteurl, k_not_set},
    {"MOD_CRATEFERRY_USERNAME", nullptr, &Settings::username, k_not_set},
    {"MOD_CRATEFERRY_PASSWORD", nullptr, &Settings::password, k_not_set},
    {"MOD_CRATEFERRY_CHECKFTP", &Settings::checkftp, nullptr, k_not_set},
    {"MOD_CRATEFERRY_REMOVEOLDER", &Settings::removeolder, nullptr, k_not_set},
    {"MOD_CRATEFERRY_TIMEUNIT", &Settings::timeunit, nullptr, WhenInvalid::no_age},
    {k_timecount_key, &Settings::timecount, nullptr, WhenInvalid::no_age},
    {"MOD_CRATEFERRY_UINT_TYPE", &Settings::uint_type, nullptr, k_not_set},
    {"MOD_CRATEFERRY_UHOURS", &Settings::uhours, nullptr, k_not_set},
    {"MOD_CRATEFERRY_UDAY", &Settings::uday, nullptr, k_not_set},
    {"MOD_CRATEFERRY_RUPLOADED", &Settings::ruploaded, nullptr, k_not_set},
    {"MOD_CRATEFERRY_RINT_TYPE", &Settings::rint_type, nullptr, k_not_set},
    {"MOD_CRATEFERRY_RHOURS", &Settings::rhours, nullptr, k_not_set},
    {"MOD_CRATEFERRY_RDAY", &Settings::rday, nullptr, k_not_set},
    {"MOD_CRATEFERRY_SSH_CONFIG", nullptr, &Settings::ssh_config, k_not_set},
    {"MOD_CRATEFERRY_STALLTIME", &Settings::stalltime, nullptr, k_not_set},
    {"MOD_CRATEFERRY_TEMPUPLOAD", &Settings::tempupload, nullptr, k_not_set},
    {"MOD_CRATEFERRY_CURLBATCH", &Settings::curlbatch, nullptr, k_not_set},
    {"MOD_CRATEFERRY_KEEPPENDING", &Settings::keeppending, nullptr, WhenInvalid::keep_pending},
    {"MOD_CRATEFERRY_KEEPFREE", &Settings::keepfree, nullptr, k_not_set},
    {"MOD_CRATEFERRY_MINAGE", &Settings::minage, nullptr, k_not_set},
    {"MOD_CRATEFERRY_METRICSDIR", nullptr, &Settings::metricsdir, k_not_set},
    {"MOD_CRATEFERRY_RATELIMIT", &Settings::ratelimit, nullptr, k_not_set},
    {"MOD_CRATEFERRY_PARALLEL", &Settings::parallel, nullptr, k_not_set},
    {"MOD_CRATEFERRY_VERIFY", &Settings::verify, nullptr, k_not_set},
};

// Keys whose value is a secret, or may hold one (a URL's user:password@): a line
// that sets one is never shown whole.
bool may_hold_secret(const char* key) {
    return strcasestr(key, "PASSW") != nullptr || strcasestr(key, "_URL") != nullptr ||
           strcasecmp(key, "MOD_CRATEFERRY_REMOTEURL") == 0;
}

bool is_known_key(const char* text) {
    for (const SettingKey& key : k_setting_keys) {
        if (strcasecmp(text, key.name) == 0) return true;
    }
    return false;
}

// Every line is read as find_setting reads it, so a line too long for one read is
// looked at piece by piece.
void warn_unknown_settings(FILE* file) {
    rewind(file);
    while (fgets(setting_line, sizeof setting_line, file) != nullptr) {
        if (const char* text = unknown_setting_in_line(setting_line))
            syslog(LOG_WARNING, "unknown setting \"%s\" in %s", text, paths::settings);
    }
}

// Warns about each key that more than one line sets: only the first is read.
void warn_keys_set_twice(FILE* file) {
    for (const SettingKey& key : k_setting_keys) {
        rewind(file);
        std::string first_line;
        size_t lines = 0;
        while (fgets(setting_line, sizeof setting_line, file) != nullptr) {
            std::string line = setting_line;
            if (setting_in_line(setting_line, key.name) == nullptr) continue;
            if (++lines == 1) first_line = line.substr(0, line.find_first_of("\r\n"));
        }
        if (lines < 2) continue;
        if (may_hold_secret(key.name))
            first_line = first_line.substr(0, first_line.find('=') + 1) + "(value not shown)";
        syslog(LOG_WARNING, "%s is set twice in /opt/crateFerry/etc/settings: the line \"%s\" is used",
               key.name, first_line.c_str());
    }
}

// The number of `key`, read as read_number reads it; a value that is not wholly a
// number is warned about, and one without a number first gets the key's safe meaning.
uint32_t checked_number(FILE* file, const SettingKey& key, Settings* settings) {
    const char* value = find_setting(file, key.name);
    uint32_t number = 0;
    const NumberReading reading = value != nullptr ? read_number(value, &number) : NumberReading::number;
    if (reading == NumberReading::number) return number;
    if (reading == NumberReading::number_then_text) {
        const std::string used = std::to_string(number) + " is used";
        syslog(LOG_WARNING, "invalid value \"%s\" for %s in /opt/crateFerry/etc/settings: %s", value,
               key.name, used.c_str());
        return number;
    }
    const char* instead = "it is taken as not set";
    if (key.when_invalid == WhenInvalid::keep_pending) {
        instead = "it is taken as 1: pending files are kept";
        number = 1;
    } else if (key.when_invalid == WhenInvalid::no_age) {
        instead = "no file is removed by age";
        settings->age_invalid = true;
    }
    syslog(LOG_WARNING, "invalid value \"%s\" for %s in /opt/crateFerry/etc/settings: %s", value,
           key.name, instead);
    return number;
}

// Opens the settings file without waiting on a FIFO; null, after logging, when it
// cannot be read or is no regular file.
FILE* open_settings_file() {
    UniqueFd fd(open(paths::settings, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    const char* why = nullptr;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0)
        why = strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "not a regular file";
    FILE* file = why == nullptr ? fdopen(fd.get(), "r") : nullptr;
    if (file == nullptr && why == nullptr) why = strerror(errno);
    if (file == nullptr) {
        syslog(LOG_ERR, "Cannot read settings file /opt/crateFerry/etc/settings: %s", why);
        return nullptr;
    }
    (void)fd.release();
    return file;
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

NumberReading read_number(const char* text, uint32_t* value) {
    *value = 0;
    text += strspn(text, " \t");
    if (!isdigit(static_cast<unsigned char>(*text))) return NumberReading::invalid;
    uint64_t magnitude = 0;
    for (; isdigit(static_cast<unsigned char>(*text)); ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > UINT32_MAX) return NumberReading::invalid;
    }
    *value = static_cast<uint32_t>(magnitude);
    text += strspn(text, " \t");
    return *text == '\0' ? NumberReading::number : NumberReading::number_then_text;
}

uint32_t setting_number(FILE* file, const char* key) {
    const char* value = find_setting(file, key);
    uint32_t number = 0;
    if (value != nullptr) (void)read_number(value, &number);
    return number;
}

bool load_settings(Settings* settings) {
    UniqueFile file(open_settings_file());
    if (!file) return false;
    FILE* f = file.get();
    settings->age_invalid = false;
    warn_keys_set_twice(f);
    for (const SettingKey& key : k_setting_keys) {
        if (key.number != nullptr)
            settings->*key.number = checked_number(f, key, settings);
        else
            settings->*key.text = setting_string(f, key.name);
    }
    settings->timecount_missing = find_setting(f, k_timecount_key) == nullptr;
    warn_unknown_settings(f);
    return true;
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
