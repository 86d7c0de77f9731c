// The library's text as a Java VM takes it: modified UTF-8 stays, other
// UTF-8 is re-encoded, and bytes that form no character become U+FFFD
// (Linux reads its code page as UTF-8).
#include "kelvara/services/CodePageText.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvara {
namespace {

TEST(JavaText, EveryTextBecomesCompleteWellFormedModifiedUtf8)
{
    const std::string replacement = "\xEF\xBF\xBD";
    const struct {
        std::string text;
        std::string java;
    } cases[] = {
        {"", ""},
        {"\\dir\\a.txt", "\\dir\\a.txt"},
        {"\\读卡\\文件.txt", "\\读卡\\文件.txt"},
        {"nul \xC0\x80 and pair \xED\xA0\xBD\xED\xB8\x80", "nul \xC0\x80 and pair \xED\xA0\xBD\xED\xB8\x80"},
        {"lone \xED\xB8\x80", "lone \xED\xB8\x80"},
        {std::string("a\0b", 3),
         "a\xC0\x80"
         "b"},
        {"smile \xF0\x9F\x98\x80!", "smile \xED\xA0\xBD\xED\xB8\x80!"},
        {"\xF4\x8F\xBF\xBF", "\xED\xAF\xBF\xED\xBF\xBF"},
        {"gbk \xC4\xE3\xBA\xC3.txt", "gbk " + replacement + replacement + replacement + replacement + ".txt"},
        {"cut \xE4\xBD", "cut " + replacement + replacement},
        {"overlong \xC1\xBF", "overlong " + replacement + replacement},
        {std::string("mixed \xFF\0", 8), "mixed " + replacement + "\xC0\x80"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(JavaTextFrom(c.text), c.java) << c.java;
}

} // namespace
} // namespace kelvara
