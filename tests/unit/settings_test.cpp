// Settings lines: what a line yields for a key.
#include <gtest/gtest.h>

#include <string>

#include "settings/settings.h"

TEST(SettingInLine, QuotedValueLosesItsQuotes) {
    char line[] = "MOD_CRATEFERRY_SCANFOLDER=\"/data/scan\"\n";
    EXPECT_STREQ(setting_in_line(line, "MOD_CRATEFERRY_SCANFOLDER"), "/data/scan");
}
