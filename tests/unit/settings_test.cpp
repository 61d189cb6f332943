// Settings lines: what a line yields for a key, and lookups in a real file.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fileutil/fileutil.h"
#include "settings/settings.h"

namespace {

constexpr char k_key[] = "MOD_CRATEFERRY_SCANFOLDER";

struct LineCase {
    const char* name;
    const char* line;
    const char* expected;  // null: the line is not one for the key
};

const LineCase k_line_cases[] = {
    {"QuotedValueLosesItsQuotes", "MOD_CRATEFERRY_SCANFOLDER=\"/data/scan\"\n", "/data/scan"},
    {"BareValueIsTakenAsItIs", "MOD_CRATEFERRY_SCANFOLDER=/data/scan\n", "/data/scan"},
    {"LowerCaseKeyMatches", "mod_crateferry_scanfolder=/x\n", "/x"},
    {"SpaceBeforeEqualsIsPartOfTheKey", "MOD_CRATEFERRY_SCANFOLDER =/x\n", nullptr},
    {"SpaceBeforeKeyIsPartOfTheKey", " MOD_CRATEFERRY_SCANFOLDER=/x\n", nullptr},
    {"LongerKeyDoesNotMatch", "MOD_CRATEFERRY_SCANFOLDER2=/x\n", nullptr},
    {"InnerQuoteIsKept", "MOD_CRATEFERRY_SCANFOLDER=\"a\"b\"\n", "a\"b"},
    {"UnclosedQuoteGivesEmptyText", "MOD_CRATEFERRY_SCANFOLDER=\"/x\n", ""},
    {"HashLineNeverMatches", "#MOD_CRATEFERRY_SCANFOLDER=/x\n", nullptr},
    {"BlankAfterEqualsIsKept", "MOD_CRATEFERRY_SCANFOLDER= /x\n", " /x"},
    {"BlankThenQuoteKeepsBlankAndOpeningQuote", "MOD_CRATEFERRY_SCANFOLDER= \"/x\"\n", " \"/x"},
    {"CrLfIsRemoved", "MOD_CRATEFERRY_SCANFOLDER=/x\r\n", "/x"},
    {"TextAfterCarriageReturnIsCut", "MOD_CRATEFERRY_SCANFOLDER=/x\rjunk\n", "/x"},
    {"LineWithoutEqualsDoesNotMatch", "MOD_CRATEFERRY_SCANFOLDER\n", nullptr},
    {"EmptyValueIsEmptyText", "MOD_CRATEFERRY_SCANFOLDER=\n", ""},
    {"SecondEqualsBelongsToTheValue", "MOD_CRATEFERRY_SCANFOLDER=a=b\n", "a=b"},
    {"QuoteInsideKeyIsCutAway", "MOD_CRATEFERRY_SCANFOLDER\"=/x\n", nullptr},
};

class SettingInLine : public testing::TestWithParam<LineCase> {};

TEST_P(SettingInLine, YieldsTheExpectedValue) {
    const LineCase& c = GetParam();
    std::string line = c.line;
    const char* value = setting_in_line(line.data(), k_key);
    if (c.expected == nullptr) {
        EXPECT_EQ(value, nullptr) << "got \"" << value << "\"";
    } else {
        ASSERT_NE(value, nullptr);
        EXPECT_STREQ(value, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, SettingInLine, testing::ValuesIn(k_line_cases),
                         [](const testing::TestParamInfo<LineCase>& row) {
                             return std::string(row.param.name);
                         });

const LineCase k_unknown_cases[] = {
    {"MistypedKeyIsShown", "MOD_CRATEFERRY_TIMECOUT=30\n", "MOD_CRATEFERRY_TIMECOUT"},
    {"BlankBeforeEqualsIsShown", "MOD_CRATEFERRY_TIMECOUNT =30\n", "MOD_CRATEFERRY_TIMECOUNT "},
    {"BlankBeforeKeyIsShown", " mod_crateferry_scanfolder=/x\n", " mod_crateferry_scanfolder"},
    {"LowerCasePrefixCounts", "mod_crateferry_keep_free=5\n", "mod_crateferry_keep_free"},
    {"KnownKeyInAnyCaseIsNot", "mod_crateferry_TimeCount=30\n", nullptr},
    {"NewKeysAreKnown", "MOD_CRATEFERRY_KEEPFREE=5\n", nullptr},
    {"LineWithoutEqualsIsNot", "MOD_CRATEFERRY_TIMECOUT 30\n", nullptr},
    {"PrefixOnlyInTheValueIsNot", "OTHER=MOD_CRATEFERRY_X\n", nullptr},
    {"CommentIsNot", "#MOD_CRATEFERRY_OLD=1\n", nullptr},
    {"CommentAfterBlanksIsNot", " \t# MOD_CRATEFERRY_OLD=1\n", nullptr},
};

class UnknownSettingInLine : public testing::TestWithParam<LineCase> {};

TEST_P(UnknownSettingInLine, ShowsTheTextBeforeTheEquals) {
    const LineCase& c = GetParam();
    std::string line = c.line;
    const char* text = unknown_setting_in_line(line.data());
    if (c.expected == nullptr) {
        EXPECT_EQ(text, nullptr) << "got \"" << text << "\"";
    } else {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, UnknownSettingInLine, testing::ValuesIn(k_unknown_cases),
                         [](const testing::TestParamInfo<LineCase>& row) {
                             return std::string(row.param.name);
                         });

// A real file with the given content, deleted when closed.
UniqueFile settings_file(const std::string& content) {
    UniqueFile file(tmpfile());
    if (!file) return file;
    if (fwrite(content.data(), 1, content.size(), file.get()) != content.size()) return nullptr;
    return file;
}

TEST(FindSetting, FirstMatchingLineWins) {
    UniqueFile file = settings_file(
        "MOD_CRATEFERRY_SCANFOLDER=\"/first\"\nmod_crateferry_scanfolder=\"/second\"\n");
    ASSERT_TRUE(file);
    EXPECT_STREQ(find_setting(file.get(), k_key), "/first");
}

TEST(FindSetting, EveryLookupScansFromTheTop) {
    UniqueFile file = settings_file("MOD_CRATEFERRY_USERNAME=u\nMOD_CRATEFERRY_SCANFOLDER=/s\n");
    ASSERT_TRUE(file);
    EXPECT_STREQ(find_setting(file.get(), k_key), "/s");
    EXPECT_STREQ(find_setting(file.get(), "MOD_CRATEFERRY_USERNAME"), "u");
    EXPECT_STREQ(find_setting(file.get(), k_key), "/s");
}

TEST(FindSetting, AbsentKeyAndNoFileGiveNull) {
    UniqueFile file = settings_file("MOD_CRATEFERRY_USERNAME=u\n");
    ASSERT_TRUE(file);
    EXPECT_EQ(find_setting(file.get(), k_key), nullptr);
    EXPECT_EQ(find_setting(nullptr, k_key), nullptr);
}

TEST(FindSetting, LineLongerThan16383CharactersArrivesInPieces) {
    // The first 16383 characters are one piece; the rest is read as a line of its own.
    UniqueFile file = settings_file(std::string(16383, 'x') + "MOD_CRATEFERRY_SCANFOLDER=/tail\n");
    ASSERT_TRUE(file);
    EXPECT_STREQ(find_setting(file.get(), k_key), "/tail");
}

TEST(FindSetting, KeyAtTheStartOfALongLineStillMatchesItsFirstPiece) {
    UniqueFile file = settings_file("MOD_CRATEFERRY_SCANFOLDER=" + std::string(20000, 'y') + "\n");
    ASSERT_TRUE(file);
    const char* value = find_setting(file.get(), k_key);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::string(value), std::string(16383 - 26, 'y'));
}

TEST(SettingString, AbsentKeyGivesANewEmptyText) {
    UniqueFile file = settings_file("\n");
    ASSERT_TRUE(file);
    char* value = setting_string(file.get(), k_key);
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "");
    free(value);
}

TEST(SettingString, ValueIsACopyThatOutlivesTheNextLookup) {
    UniqueFile file = settings_file("MOD_CRATEFERRY_SCANFOLDER=/s\nMOD_CRATEFERRY_USERNAME=u\n");
    ASSERT_TRUE(file);
    char* folder = setting_string(file.get(), k_key);
    (void)find_setting(file.get(), "MOD_CRATEFERRY_USERNAME");
    EXPECT_STREQ(folder, "/s");
    free(folder);
}

struct NumberCase {
    const char* name;
    const char* content;
    uint32_t expected;
};

const NumberCase k_number_cases[] = {
    {"PlainNumber", "MOD_CRATEFERRY_TIMECOUNT=12\n", 12},
    {"LowerCaseKey", "mod_crateferry_timecount=12\n", 12},
    {"QuotedNumber", "MOD_CRATEFERRY_TIMECOUNT=\"7\"\n", 7},
    {"TrailingTextKeepsTheLeadingNumber", "MOD_CRATEFERRY_TIMECOUNT=12abc\n", 12},
    {"MinusOneIsNoNumber", "MOD_CRATEFERRY_TIMECOUNT=-1\n", 0},
    {"TooLargeIsNoNumber", "MOD_CRATEFERRY_TIMECOUNT=99999999999\n", 0},
    {"LargestValueItself", "MOD_CRATEFERRY_TIMECOUNT=4294967295\n", 4294967295U},
    {"EmptyValueIsZero", "MOD_CRATEFERRY_TIMECOUNT=\n", 0},
    {"NonNumericIsZero", "MOD_CRATEFERRY_TIMECOUNT=abc\n", 0},
    {"LeadingBlanksAreSkipped", "MOD_CRATEFERRY_TIMECOUNT=  \t 42\n", 42},
    {"AbsentKeyIsZero", "MOD_CRATEFERRY_TIMEUNIT=3\n", 0},
    {"SpaceBeforeEqualsDoesNotMatch", "MOD_CRATEFERRY_TIMECOUNT = 12\n", 0},
    {"PlusSignIsNoNumber", "MOD_CRATEFERRY_TIMECOUNT=+5\n", 0},
    {"CrLfLineEnd", "MOD_CRATEFERRY_TIMECOUNT=9\r\n", 9},
};

class SettingNumber : public testing::TestWithParam<NumberCase> {};

TEST_P(SettingNumber, ReadsTheValueAsReadNumberDoes) {
    const NumberCase& c = GetParam();
    UniqueFile file = settings_file(c.content);
    ASSERT_TRUE(file);
    EXPECT_EQ(setting_number(file.get(), "MOD_CRATEFERRY_TIMECOUNT"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Values, SettingNumber, testing::ValuesIn(k_number_cases),
                         [](const testing::TestParamInfo<NumberCase>& row) {
                             return std::string(row.param.name);
                         });

struct ReadingCase {
    const char* behaviour;
    const char* text;
    NumberReading reading;
    uint32_t value;
};

TEST(ReadNumber, OnlyAWholeUnsignedNumberThatFitsIsANumber) {
    const ReadingCase cases[] = {
        {"digits", "30", NumberReading::number, 30},
        {"zero", "0", NumberReading::number, 0},
        {"blanks around", " \t30 ", NumberReading::number, 30},
        {"the largest value", "4294967295", NumberReading::number, 4294967295U},
        {"a comment after the number", "30 # days", NumberReading::number_then_text, 30},
        {"a decimal point", "1.5", NumberReading::number_then_text, 1},
        {"letters after the digits", "12abc", NumberReading::number_then_text, 12},
        {"a closing quote of the other kind", "30'", NumberReading::number_then_text, 30},
        {"empty", "", NumberReading::invalid, 0},
        {"blanks only", "  ", NumberReading::invalid, 0},
        {"a word", "thirty", NumberReading::invalid, 0},
        {"single quotes", "'30'", NumberReading::invalid, 0},
        {"a minus sign", "-1", NumberReading::invalid, 0},
        {"a plus sign", "+5", NumberReading::invalid, 0},
        {"one above the largest value", "4294967296", NumberReading::invalid, 0},
        {"far too large", "99999999999999999999999", NumberReading::invalid, 0},
    };
    for (const ReadingCase& c : cases) {
        uint32_t value = 7;
        EXPECT_EQ(read_number(c.text, &value), c.reading) << c.behaviour;
        EXPECT_EQ(value, c.value) << c.behaviour;
    }
}

TEST(SettingNumber, NoFileGivesZero) {
    EXPECT_EQ(setting_number(nullptr, "MOD_CRATEFERRY_TIMECOUNT"), 0U);
}

}  // namespace
