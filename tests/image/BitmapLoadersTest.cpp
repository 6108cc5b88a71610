// The loader registry exists from start-up on and finds loaders by extension.
#include "image/BitmapLoaders.h"
#include "image/LinarBitmap.h"

#include <gtest/gtest.h>

using namespace vt;

namespace {
void LoadNothing(const char*, TLinearBitmap&) {}
void LoadOther(const char*, TLinearBitmap&) {}
} // namespace

TEST(BitmapLoaders, ExistsEmptyAfterStartup) {
    ASSERT_NE(BitmapLoaders, nullptr);
    EXPECT_EQ(BitmapLoaders->Count(), 0);
}

TEST(BitmapLoaders, FindsByExtensionWithoutRegardToCase) {
    TBitmapLoaders loaders;
    loaders.Register(".png", LoadNothing);
    loaders.Register(".PNG", LoadOther);
    for (int i = 0; i < 10; ++i)
        loaders.Register((".x" + std::to_string(i)).c_str(), LoadNothing);
    EXPECT_EQ(loaders.Count(), 11);
    EXPECT_EQ(loaders.Find("dir.v1/photo.Png"), LoadOther);
    EXPECT_EQ(loaders.Find("photo.x9"), LoadNothing);
    EXPECT_EQ(loaders.Find("photo.jpg"), nullptr);
    EXPECT_EQ(loaders.Find("noextension"), nullptr);
    EXPECT_THROW(loaders.Register(".averyveryverylongextension", LoadNothing), Exception);
}
