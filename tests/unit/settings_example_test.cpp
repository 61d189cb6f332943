// contrib/settings.example read with the program's own settings reader: no line the
// program would warn about, one line for every key, numbers where numbers are read.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace {

// The lines of the example as find_setting and load_settings read them.
std::vector<std::string> example_lines() {
    const std::string path = std::string(CRATEFERRY_SOURCE_DIR) + "/contrib/settings.example";
    std::vector<std::string> lines;
    FILE* file = fopen(path.c_str(), "r");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return lines;
    }
    char line[16384];
    while (fgets(line, sizeof line, file) != nullptr) lines.emplace_back(line);
    (void)fclose(file);  // read only: nothing to lose
    return lines;
}

// Every row of the table of keys.
struct Key {
    const char* name;
    bool is_number;
};

std::vector<Key> program_keys() {
    std::vector<Key> keys;
    bool is_number = false;
    for (size_t i = 0; const char* name = setting_key_name(i, &is_number); ++i)
        keys.push_back({name, is_number});
    return keys;
}

TEST(SettingsExample, NoLineIsWarnedAboutAsAnUnknownSetting) {
    for (const std::string& line : example_lines()) {
        std::string copy = line;
        const char* unknown = unknown_setting_in_line(copy.data());
        EXPECT_EQ(unknown, nullptr) << "unknown setting \"" << unknown << "\" in: " << line;
    }
}

TEST(SettingsExample, EveryKeyHasExactlyOneLine) {
    const std::vector<std::string> lines = example_lines();
    for (const Key& key : program_keys()) {
        int count = 0;
        for (const std::string& line : lines) {
            std::string copy = line;
            if (setting_in_line(copy.data(), key.name) != nullptr) ++count;
        }
        EXPECT_EQ(count, 1) << key.name;
    }
}

TEST(SettingsExample, EveryNumberKeyHoldsADecimalNumber) {
    const std::vector<std::string> lines = example_lines();
    for (const Key& key : program_keys()) {
        if (!key.is_number) continue;
        for (const std::string& line : lines) {
            std::string copy = line;
            const char* value = setting_in_line(copy.data(), key.name);
            if (value == nullptr) continue;
            EXPECT_TRUE(*value != '\0' && strspn(value, "0123456789") == strlen(value))
                << key.name << " holds \"" << value << "\"";
        }
    }
}

TEST(SettingsExample, EveryOtherLineIsACommentOrBlank) {
    const std::vector<Key> keys = program_keys();
    for (const std::string& line : example_lines()) {
        const size_t first = line.find_first_not_of(" \t\r\n");
        if (first == std::string::npos || line[first] == '#') continue;
        bool for_a_key = false;
        for (const Key& key : keys) {
            std::string copy = line;
            if (setting_in_line(copy.data(), key.name) != nullptr) for_a_key = true;
        }
        EXPECT_TRUE(for_a_key) << "a line for no key: " << line;
    }
}

TEST(SettingsExample, TheTableOfKeysIsNotEmpty) {
    EXPECT_GE(program_keys().size(), 1U);
}

}  // namespace
