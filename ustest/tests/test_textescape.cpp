// Text from outside the program is shown on a terminal, never obeyed by it.
#include <string>

#include <gtest/gtest.h>

#include "textescape.h"

namespace {

struct EscapeCase {
    const char *name;
    std::string in;
    std::string out;
};

class Escape : public testing::TestWithParam<EscapeCase> {};

TEST_P(Escape, ShowsEveryByteThatATerminalWouldObey)
{
    EXPECT_EQ(GetParam().out, escape_terminal_text(GetParam().in));
}

INSTANTIATE_TEST_SUITE_P(
    Text, Escape,
    testing::Values(
        EscapeCase{ "plain", "Qel desk 1.02", "Qel desk 1.02" },
        EscapeCase{ "empty", "", "" },
        EscapeCase{ "clear_screen", "Q\x1b[2J\x1b[H", "Q\\x1b[2J\\x1b[H" },
        EscapeCase{ "line_breaks_and_tab", "a\nb\r\tc", "a\\x0ab\\x0d\\x09c" },
        EscapeCase{ "nul_inside", std::string("a\0b", 3), "a\\x00b" },
        EscapeCase{ "del", "x\x7f", "x\\x7f" },
        // U+009B, the one-byte CSI of the C1 range, in its UTF-8 form.
        EscapeCase{ "c1_csi", "\xc2\x9b" "2J", "\\xc2\\x9b2J" },
        EscapeCase{ "utf8_kept", "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x8e\xb5",
                    "Gr\xc3\xbc\xc3\x9f \xe2\x82\xac \xf0\x9f\x8e\xb5" },
        EscapeCase{ "nbsp_is_not_c1", "a\xc2\xa0" "b", "a\xc2\xa0" "b" },
        EscapeCase{ "lone_continuation", "a\x80z", "a\\x80z" },
        EscapeCase{ "latin1_byte", "caf\xe9", "caf\\xe9" },
        EscapeCase{ "cut_sequence_at_end", "ok\xe2\x82", "ok\\xe2\\x82" },
        EscapeCase{ "overlong_slash", "\xc0\xaf", "\\xc0\\xaf" },
        EscapeCase{ "overlong_three_bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf" },
        EscapeCase{ "surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80" },
        EscapeCase{ "beyond_u10ffff", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80" },
        EscapeCase{ "invalid_lead_then_valid", "\xff\xc3\xa9", "\\xff\xc3\xa9" }),
    [](const testing::TestParamInfo<EscapeCase> &info) { return info.param.name; });

} // namespace
