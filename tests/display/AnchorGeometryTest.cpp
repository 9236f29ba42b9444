#include "display/AnchorGeometry.h"

#include <gtest/gtest.h>

namespace vintrace::display {
namespace {

TEST(AnchorGeometry, StretchesMovesOrCentres) {
    const Box design{10, 20, 100, 50};
    EXPECT_EQ(AnchoredBox(design, AnchorLeft | AnchorTop, 200, 100, 260, 140), design);
    EXPECT_EQ(AnchoredBox(design, AnchorLeft | AnchorRight | AnchorTop | AnchorBottom, 200, 100,
                          260, 140),
              (Box{10, 20, 160, 90}));
    EXPECT_EQ(AnchoredBox(design, AnchorRight | AnchorBottom, 200, 100, 260, 140),
              (Box{70, 60, 100, 50}));
    EXPECT_EQ(AnchoredBox(design, 0, 200, 100, 260, 140), (Box{40, 40, 100, 50}));
    // Shrinking below the design size never gives a negative size.
    EXPECT_EQ(AnchoredBox(design, AnchorLeft | AnchorRight, 200, 100, 50, 100).width, 0);
}

} // namespace
} // namespace vintrace::display
