#include <gtest/gtest.h>

#include <string>

#include "trd/trd_name.h"

using namespace quornax;

namespace {

struct naming_case {
    std::string tap;
    std::string trd;
};

// ctest takes the printed row for the test's name, and a name that ends
// in a backslash would swallow the next test's: the image name comes last.
void PrintTo(const naming_case& c, std::ostream* os) {
    *os << c.tap << " -> " << c.trd;
}

class naming : public testing::TestWithParam<naming_case> {};

TEST_P(naming, ImageNameFromTapName) {
    const char* name = make_trd_name(GetParam().tap.c_str());
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name), GetParam().trd) << GetParam().tap;
}

INSTANTIATE_TEST_SUITE_P(
    table, naming,
    testing::Values(naming_case{"game.tap", "game.trd"},
                    naming_case{"GAME.TAP", "GAME.trd"},
                    naming_case{"Game.tAp", "Game.trd"},
                    naming_case{"Game.TzX", "Game.trd"},
                    naming_case{"tapes/old/game.tap", "game.trd"},
                    naming_case{"tapes\\game.tap", "game.trd"},
                    // The backslash decides; the slash stays in the name.
                    naming_case{"a\\b/game.tap", "b/game.trd"},
                    // Never an absolute path.
                    naming_case{"x\\/game.tap", "game.trd"},
                    naming_case{"x\\//b/game.tap", "b/game.trd"},
                    // Never above the working directory.
                    naming_case{"x\\../../game.tap", "game.trd"},
                    naming_case{"a\\b/../game.tap", "b/game.trd"},
                    naming_case{"a\\./b/./game.tap", "b/game.trd"},
                    naming_case{"a\\.d/game.tap", ".d/game.trd"},
                    // A name of dots is no folder.
                    naming_case{"a\\..", "...trd"},
                    naming_case{"gametap", "gametap.trd"},
                    naming_case{"x.tap", "x.trd"},
                    naming_case{".tap", ".tap.trd"},
                    naming_case{"game", "game.trd"},
                    naming_case{"game.trd", "game.trd.trd"},
                    naming_case{"game.tap.tap", "game.tap.trd"},
                    naming_case{"game.tapx", "game.tapx.trd"},
                    naming_case{"dir\\", ".trd"},
                    naming_case{"dir/", ".trd"},
                    naming_case{"", ".trd"},
                    // Only A to Z fold: other bytes must match exactly.
                    naming_case{"x.t\xC1p", "x.t\xC1p.trd"}));

TEST(naming_limits, LongestCommandLineNameIsNeverCut) {
    std::string base(trd_name_size - 5, 'n');  // room for ".trd" and NUL
    const char* name = make_trd_name(base.c_str());
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::string(name), base + ".trd");
    std::string longer = base + "x";
    EXPECT_EQ(make_trd_name(longer.c_str()), nullptr);
    EXPECT_EQ(make_trd_name((longer + ".TAP").c_str()), nullptr);
}

}  // namespace
