#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mkimage.h"
#include "prgdecode.h"

namespace {

std::string g_update_bin;   // path of the committed embedded image

struct BodyCase {
    uint32_t length;
    uint32_t sum;
};

class SyntheticBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(SyntheticBody, HasTheWantedSumAndMakesASoundImage)
{
    const BodyCase c = GetParam();
    ImageRecipe recipe;
    ASSERT_TRUE(mkimage_synthetic_body(c.length, c.sum, &recipe.body));
    ASSERT_EQ(recipe.body.size(), c.length);
    EXPECT_EQ(mkimage_sum(recipe.body), c.sum);
    std::vector<uint8_t> again;
    ASSERT_TRUE(mkimage_synthetic_body(c.length, c.sum, &again));
    EXPECT_EQ(again, recipe.body);   // deterministic

    std::vector<uint8_t> image;
    std::string error;
    ASSERT_TRUE(mkimage_build(recipe, &image, &error)) << error;
    EXPECT_EQ(image.size(), c.length + 36u);
    EXPECT_EQ(prgdecode_check(image.data(), uint32_t(image.size())), 0);
}

INSTANTIATE_TEST_SUITE_P(Sums, SyntheticBody,
                         ::testing::Values(BodyCase{0, 0}, BodyCase{1, 255}, BodyCase{7, 0},
                                           BodyCase{1000, 1}, BodyCase{1000, 254999},
                                           BodyCase{268284, 0x0140C7B8}));

TEST(SyntheticBodyLimits, ImpossibleSumsAreRefused)
{
    std::vector<uint8_t> body;
    EXPECT_FALSE(mkimage_synthetic_body(10, 2551, &body));
    EXPECT_FALSE(mkimage_synthetic_body(0, 1, &body));
}

TEST(Build, RefusesLongProductNames)
{
    ImageRecipe recipe;
    recipe.product = "ABCDEFGHI";
    std::vector<uint8_t> image;
    std::string error;
    EXPECT_FALSE(mkimage_build(recipe, &image, &error));
    EXPECT_FALSE(error.empty());
}

// The committed resource must be exactly what the tool makes, so that nobody
// hand-edits it.
TEST(EmbeddedImage, IsReproducedByTheMaker)
{
    if (g_update_bin.empty())
        GTEST_SKIP() << "no path to the embedded image given";
    std::ifstream f(g_update_bin, std::ios::binary);
    ASSERT_TRUE(f.good()) << g_update_bin;
    const std::vector<uint8_t> committed((std::istreambuf_iterator<char>(f)),
                                         std::istreambuf_iterator<char>());
    ImageRecipe recipe;   // Qel 1.02 build 31, 13 March 2017
    ASSERT_TRUE(mkimage_synthetic_body(268320 - 36, 0x0140C7B8, &recipe.body));
    std::vector<uint8_t> made;
    std::string error;
    ASSERT_TRUE(mkimage_build(recipe, &made, &error));
    EXPECT_EQ(committed, made);
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (argc > 1)
        g_update_bin = argv[1];
    return RUN_ALL_TESTS();
}
