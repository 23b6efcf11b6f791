#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ketrova {
namespace {

struct SplitCase {
  std::u16string command_line;
  std::vector<std::u16string> expected;
};

class SplitCommandLineTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, FollowsTheRuntimeRules) {
  EXPECT_EQ(split_command_line(GetParam().command_line), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Blanks, SplitCommandLineTest,
    ::testing::Values(SplitCase{u"", {u""}}, SplitCase{u"p", {u"p"}},
                      SplitCase{u"p a b", {u"p", u"a", u"b"}},
                      SplitCase{u"p  a\t\tb \t", {u"p", u"a", u"b"}},
                      // A leading blank ends an empty program name.
                      SplitCase{u" a b", {u"", u"a", u"b"}}, SplitCase{u"\tp", {u"", u"p"}},
                      // Blanks inside quotes belong to the argument.
                      SplitCase{u"p \"a \tb\"", {u"p", u"a \tb"}},
                      // Only space and tab separate arguments.
                      SplitCase{u"p a\nb\rc\vd\u3000e", {u"p", u"a\nb\rc\vd\u3000e"}}));

INSTANTIATE_TEST_SUITE_P(
    ProgramName, SplitCommandLineTest,
    ::testing::Values(SplitCase{uR"("C:\Program Files\p.exe" a)",
                                {uR"(C:\Program Files\p.exe)", u"a"}},
                      SplitCase{uR"(C:\dir\p.exe a)", {uR"(C:\dir\p.exe)", u"a"}},
                      // No backslash escapes: the quote after the backslash closes quoting.
                      SplitCase{uR"("p\"q r)", {uR"(p\q)", u"r"}},
                      SplitCase{uR"(p\\"a b" c)", {uR"(p\\a b)", u"c"}},
                      // Quotes may stand anywhere in it and the text after them continues it.
                      SplitCase{uR"(p"a b"c d)", {u"pa bc", u"d"}},
                      SplitCase{uR"("" a)", {u"", u"a"}}, SplitCase{uR"("p a)", {u"p a"}},
                      // Doubled quotes have no special meaning here.
                      SplitCase{uR"("a""b c" d)", {u"ab c", u"d"}}));

INSTANTIATE_TEST_SUITE_P(
    QuotesAndBackslashes, SplitCommandLineTest,
    ::testing::Values(
        SplitCase{uR"(p "a b c" d e)", {u"p", u"a b c", u"d", u"e"}},
        SplitCase{uR"(p "ab\"c" "\\" d)", {u"p", uR"(ab"c)", uR"(\)", u"d"}},
        SplitCase{uR"(p a\\\b d"e f"g h)", {u"p", uR"(a\\\b)", u"de fg", u"h"}},
        SplitCase{uR"(p a\\\"b c d)", {u"p", uR"(a\"b)", u"c", u"d"}},
        SplitCase{uR"(p a\\\\"b c" d e)", {u"p", uR"(a\\b c)", u"d", u"e"}},
        // Two quotes inside quoting give one quote and quoting goes on.
        SplitCase{uR"(p a"b"" c d)", {u"p", uR"(ab" c d)"}},
        SplitCase{uR"(p "a""b")", {u"p", uR"(a"b)"}}, SplitCase{uR"(p """)", {u"p", uR"(")"}},
        SplitCase{uR"(p """")", {u"p", uR"(")"}},
        SplitCase{uR"(p """""" x)", {u"p", uR"("")", u"x"}},
        // Outside quoting two quotes open and close: an empty piece.
        SplitCase{uR"(p a""b)", {u"p", u"ab"}}, SplitCase{uR"(p "" "")", {u"p", u"", u""}},
        SplitCase{uR"(p "")", {u"p", u""}},
        // Backslash runs before a quote: halved; an odd run makes it literal.
        SplitCase{uR"(p \")", {u"p", uR"(")"}}, SplitCase{uR"(p \\")", {u"p", uR"(\)"}},
        SplitCase{uR"(p \\\" x)", {u"p", uR"(\")", u"x"}},
        SplitCase{uR"(p \\\\" x)", {u"p", uR"(\\ x)"}},
        SplitCase{uR"(p "a\\" b)", {u"p", uR"(a\)", u"b"}},
        SplitCase{uR"(p "a\" b)", {u"p", uR"(a" b)"}},
        SplitCase{uR"(p "a\\\"""b")", {u"p", uR"(a\""b)"}},
        // Backslashes not before a quote are kept as they are.
        SplitCase{uR"(p a\ b\\ \\\\)", {u"p", uR"(a\)", uR"(b\\)", uR"(\\\\)"}},
        SplitCase{uR"(p a\)", {u"p", uR"(a\)"}}, SplitCase{uR"(p "a\)", {u"p", uR"(a\)"}}));

INSTANTIATE_TEST_SUITE_P(
    Utf16, SplitCommandLineTest,
    ::testing::Values(
        // Code units pass through: surrogate pairs and unpaired surrogates alike.
        SplitCase{u"p \"caf\u00e9 \U0001F600\" \U0001F600",
                  {u"p", u"caf\u00e9 \U0001F600", u"\U0001F600"}},
        SplitCase{std::u16string{u'p', u' ', char16_t{0xD800}, u'"', char16_t{0xDC00}, u'"'},
                  {u"p", std::u16string{char16_t{0xD800}, char16_t{0xDC00}}}},
        SplitCase{std::u16string{u'p', u' ', u'a', char16_t{0}, u'b'},
                  {u"p", std::u16string{u'a', char16_t{0}, u'b'}}}));

}  // namespace
}  // namespace ketrova
