// HbaParseOption: the lookup of one keyword in the argument string.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "driver/frame/hba.h"

namespace cbus::test {
namespace {

// The string in a buffer of exactly its size, so that the sanitizer sees any read past its NUL.
struct Argument {
    explicit Argument(const std::string& text) : bytes(text.begin(), text.end()) {
        bytes.push_back('\0');
    }
    std::string text() const { return std::string(bytes.data()); }
    std::vector<char> bytes;
};

// The keyword in a buffer of exactly the compared length: no NUL is there to be read.
struct Keyword {
    explicit Keyword(const std::string& text) : bytes(text.begin(), text.end()) {}
    ULONG length() const { return static_cast<ULONG>(bytes.size()); }
    std::vector<char> bytes;
};

uint32_t lookUp(const std::string& argument, const std::string& keyword, bool wantValue) {
    Argument a(argument);
    Keyword k(keyword);
    return static_cast<uint32_t>(
        HbaParseOption(a.bytes.data(), k.bytes.data(), k.length(), wantValue ? 1 : 0));
}

struct OptionCase {
    const char* name;
    std::string argument;
    std::string keyword;
    bool wantValue;
    uint32_t expected;
};

class ParseOption : public ::testing::TestWithParam<OptionCase> {};

TEST_P(ParseOption, Yields) {
    const OptionCase& c = GetParam();
    EXPECT_EQ(lookUp(c.argument, c.keyword, c.wantValue), c.expected)
        << "'" << c.argument << "' for '" << c.keyword << "'";
}

const OptionCase kOptionCases[] = {
    // Flags: found anywhere, in any case, the first occurrence deciding.
    {"UpperCaseIsFound", "/NODISC", "/nodisc", false, 1},
    {"InsideLongerWord", "/cdrom", "/cdr", false, 1},
    {"DisconnectCountsAsDiscon", "/disconnect", "/discon", false, 1},
    {"AsynchronousCountsAsAsync", "/asynchronous", "/async", false, 1},
    {"NotOnlyAtWordStart", "x/async", "/async", false, 1},
    {"AfterOtherOptions", "/nodisc /async", "/async", false, 1},
    {"KeywordAtTheVeryEnd", "abc/cdr", "/cdr", false, 1},
    {"ExactlyTheKeyword", "/cdr", "/cdr", false, 1},
    {"AfterLeadingBlanksAndTabs", " \t /cdr", "/cdr", false, 1},
    {"Absent", "/nodisc", "/discon", false, 0},
    {"ShorterThanKeyword", "/cd", "/cdr", false, 0},
    {"AsLongAsKeywordButDifferent", "/cdx", "/cdr", false, 0},
    {"KeywordCutByTheEnd", "abc/cd", "/cdr", false, 0},
    {"OnlyBlanks", "    \t", "/cdr", false, 0},
    {"Empty", "", "/cdr", false, 0},
    {"FlagFormIgnoresValue", "/cdr=5", "/cdr", false, 1},

    // Values.
    {"Value", "/fifomax=32", "/fifomax", true, 32},
    {"BlanksAroundEquals", "/fifomax = 32", "/fifomax", true, 32},
    {"TabsAroundEverything", "\t/fifomax\t=\t16\t", "/fifomax", true, 16},
    {"ValueBeforeAnotherOption", "/fifomax=32 /nodisc", "/fifomax", true, 32},
    {"OtherOptionAfterValueStillFound", "/fifomax=32 /nodisc", "/nodisc", false, 1},
    {"SlashEndsNoValue", "/fifomax=32/nodisc", "/fifomax", true, 0},
    {"LetterInValue", "/fifomax=32k", "/fifomax", true, 0},
    {"NoEquals", "/fifomax", "/fifomax", true, 0},
    {"NoEqualsButDigits", "/fifomax 32", "/fifomax", true, 0},
    {"NothingAfterEquals", "/fifomax=", "/fifomax", true, 0},
    {"OnlyBlankAfterEquals", "/fifomax= ", "/fifomax", true, 0},
    {"FirstOccurrenceDecides", "/smitmin /smitmin=512", "/smitmin", true, 0},
    {"ValueAtTheVeryEnd", "abc/smitmin=512", "/smitmin", true, 512},
    {"Zero", "/smitmin=0", "/smitmin", true, 0},
    {"LeadingZeros", "/smitmin=000512", "/smitmin", true, 512},
    {"UpperCaseKeywordWithValue", "/FIFOMAX=8", "/fifomax", true, 8},
    {"Absent", "/nodisc", "/fifomax", true, 0},

    // Digits beyond 32 bits wrap modulo 2^32.
    {"LargestValue", "/fifomax=4294967295", "/fifomax", true, 0xFFFFFFFFu},
    {"TwoToThe32WrapsToZero", "/fifomax=4294967296", "/fifomax", true, 0},
    {"WrapsModulo", "/fifomax=4294967297", "/fifomax", true, 1},
    {"ManyDigits", "/fifomax=99999999999", "/fifomax", true, static_cast<uint32_t>(99999999999ull)},
    {"SignBitSet", "/fifomax=2147483648", "/fifomax", true, 0x80000000u},

    // Bytes 0x80-0xFF are not letters, blanks or digits.
    {"HighByteAfterKeyword", "/cdr\xC1", "/cdr", false, 1},
    {"HighByteIsNotLowerCased", "/\xC4ISC", "/\xE4isc", false, 0},
    {"HighByteMatchesItself", "x/\xC4isc", "/\xC4isc", false, 1},
    {"HighByteIsNotABlankBeforeValue",
     "/fifomax=\xA0"
     "32",
     "/fifomax", true, 0},
    {"HighByteIsNotABlankAfterValue", "/fifomax=32\xA0", "/fifomax", true, 0},
    {"HighByteIsNotADigit", "/fifomax=3\xB2", "/fifomax", true, 0},
    {"HighByteBeforeEquals", "/fifomax\x89=32", "/fifomax", true, 0},
};

std::string caseName(const ::testing::TestParamInfo<OptionCase>& param) {
    return std::string(param.param.name) + (param.param.wantValue ? "_Value" : "_Flag");
}

INSTANTIATE_TEST_SUITE_P(Cases, ParseOption, ::testing::ValuesIn(kOptionCases), caseName);

TEST(ParseOptionString, NullStringYieldsZero) {
    Keyword k("/cdr");
    EXPECT_EQ(HbaParseOption(nullptr, k.bytes.data(), k.length(), 0), 0);
    EXPECT_EQ(HbaParseOption(nullptr, k.bytes.data(), k.length(), 1), 0);
}

TEST(ParseOptionString, NullKeywordYieldsZero) {
    Argument a("/cdr");
    EXPECT_EQ(HbaParseOption(a.bytes.data(), nullptr, 4, 0), 0);
}

TEST(ParseOptionString, LowerCasesOnlyLettersInPlace) {
    Argument a("/NoDisc ABC Z@[`{ \xC9\xDA\x80\xFF");
    Keyword k("/nodisc");
    EXPECT_EQ(HbaParseOption(a.bytes.data(), k.bytes.data(), k.length(), 0), 1);
    EXPECT_EQ(a.text(), "/nodisc abc z@[`{ \xC9\xDA\x80\xFF");
}

TEST(ParseOptionString, LowerCasesEvenWhenTheKeywordIsTooLong) {
    Argument a("/CD");
    Keyword k("/cdr");
    EXPECT_EQ(HbaParseOption(a.bytes.data(), k.bytes.data(), k.length(), 0), 0);
    EXPECT_EQ(a.text(), "/cd");
}

TEST(ParseOptionString, VeryLongStringIsSearchedToItsEnd) {
    std::string text(200000, 'x');
    EXPECT_EQ(lookUp(text + "/cdr", "/cdr", false), 1u);
    EXPECT_EQ(lookUp(text + "/fifomax=64", "/fifomax", true), 64u);
    EXPECT_EQ(lookUp(text + "/cd", "/cdr", false), 0u);
}

// An 8-bit comparison counter would wrap before reaching a length above 255 and never end a
// match; the whole keyword is compared instead.
TEST(ParseOptionString, KeywordLongerThan255IsComparedWhole) {
    std::string keyword = "/" + std::string(299, 'k');
    std::string differsLate = keyword;
    differsLate[280] = 'j';

    EXPECT_EQ(lookUp(keyword, keyword, false), 1u);
    EXPECT_EQ(lookUp("x " + keyword + "=77", keyword, true), 77u);
    EXPECT_EQ(lookUp(differsLate, keyword, false), 0u);
    EXPECT_EQ(lookUp(differsLate + differsLate, keyword, false), 0u);
    // Exactly 256 characters: an 8-bit counter would compare none of them.
    std::string k256 = "/" + std::string(255, 'k');
    EXPECT_EQ(lookUp(std::string(256, 'x'), k256, false), 0u);
    EXPECT_EQ(lookUp("x" + k256, k256, false), 1u);
}

// A keyword whose compared length runs into a NUL of its own cannot be matched against the
// string's NUL: the value form would go on reading past the string.
TEST(ParseOptionString, StringEndNeverMatchesTheKeyword) {
    Argument a("x/cdr");
    const char keyword[] = {'/', 'c', 'd', 'r', '\0'};
    EXPECT_EQ(HbaParseOption(a.bytes.data(), keyword, sizeof(keyword), 1), 0);
    EXPECT_EQ(HbaParseOption(a.bytes.data(), keyword, sizeof(keyword), 0), 0);
}

}  // namespace
}  // namespace cbus::test
