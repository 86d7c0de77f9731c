// Which names Windows opens as the file of that name in a directory: device
// names and streams are not, whatever their case or extension.
#include "kelvara/services/LocalFiles.h"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

TEST(LocalNamesOnWindows, DevicesStreamsAndTrailingDotsOrSpacesAreNotPlainFiles)
{
    const struct {
        const char *name;
        bool plain;
    } cases[] = {
        {"CON", false},      {"con", false},     {"Prn", false},
        {"aux", false},      {"NUL.txt", false}, {"nul.tar.gz", false},
        {"CON .log", false}, {"COM1", false},    {"com9.dat", false},
        {"LPT1", false},     {"lpt5.x", false},  {"COM0", false},
        {"b:c", false},      {"a.txt:s", false}, {"name.", false},
        {"name ", false},    {"a.txt ", false},  {"console", true},
        {"con1", true},      {"com10", true},    {"lpt", true},
        {"xcom1", true},     {"nul_", true},     {"a.con", true},
        {".profile", true},  {"a b.txt", true},  {"\xC4\xE3\xBA\xC3.txt", true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(IsPlainFileName(c.name), c.plain) << c.name;
}

} // namespace
} // namespace kelvara
