// UTF-16 to UTF-8 for the exports' paths.
#include "library/wide_path.hpp"

#include <string>

#include "support.hpp"

namespace qpbm_test {
namespace {

TEST(WidePath, Utf16ToUtf8) {
    struct Case {
        std::u16string in;
        const char* utf8;  // nullptr: refused
    };
    const Case cases[] = {
        {u"plain.bmp", "plain.bmp"},
        {u"\u00E9", "\xC3\xA9"},                         // two bytes
        {u"\u753B", "\xE7\x94\xBB"},                     // three bytes
        {u"\U0001F600", "\xF0\x9F\x98\x80"},             // surrogate pair, four bytes
        {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},             // the last code point
        {std::u16string(1, u'\xD83D') + u"x", nullptr},  // high surrogate, no low
        {std::u16string(1, u'\xD83D'), nullptr},         // high surrogate at the end
        {std::u16string(1, u'\xDE00') + u"x", nullptr},  // low surrogate alone
        {std::u16string(2, u'\xD83D'), nullptr},         // two highs
    };
    for (const Case& c : cases) {
        char out[64];
        const bool ok = qpbm::utf16_to_utf8(c.in.c_str(), out, sizeof out);
        EXPECT_EQ(ok, c.utf8 != nullptr);
        if (ok && c.utf8) {
            EXPECT_STREQ(out, c.utf8);
        }
    }
    char small[4];
    EXPECT_TRUE(qpbm::utf16_to_utf8(u"abc", small, sizeof small));  // exactly fits with the NUL
    EXPECT_FALSE(qpbm::utf16_to_utf8(u"\u753B", small, sizeof small - 1));
    EXPECT_FALSE(qpbm::utf16_to_utf8(nullptr, small, sizeof small));
}

}  // namespace
}  // namespace qpbm_test
