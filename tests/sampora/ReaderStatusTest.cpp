// The words for the Sampora results: a status byte added to the reader's
// list without its text would be printed as unknown.
#include "sampora/ReaderStatus.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

using namespace sampora::status;

TEST(ReaderStatus, EveryKnownResultHasItsOwnText)
{
    std::set<std::string> texts;
    for (int code = kOk; code <= kLastKnown; ++code) {
        const char *text = MeaningOf(code);
        ASSERT_NE(text, nullptr) << "status " << code;
        EXPECT_NE(*text, '\0') << "status " << code;
        EXPECT_TRUE(texts.insert(text).second) << "status " << code << " shares its text: " << text;
    }
    for (int code = kNullPointer; code <= kNoReply; ++code) {
        const char *text = MeaningOf(code);
        ASSERT_NE(text, nullptr) << "result " << code;
        EXPECT_EQ(texts.count(text), 0u) << "result " << code << " reads like a reader status";
    }
    EXPECT_EQ(MeaningOf(0), nullptr);
    EXPECT_EQ(MeaningOf(kLastKnown + 1), nullptr);
}

} // namespace
