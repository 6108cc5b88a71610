// The copy protocol shared by all containers: each side handles the partners it knows, and a
// pair of which neither knows the other is refused instead of handed back and forth.
#include "image/LinarBitmap.h"

#include <gtest/gtest.h>

using namespace vt;

namespace {

// Knows how to copy itself into a linear bitmap, not the other way round.
class TKnowsBitmap : public TAssignObject {
public:
    VT_CLASS_NAME(TKnowsBitmap)
    void AssignTo(TObject* Dest) override {
        if (auto* bitmap = dynamic_cast<TLinearBitmap*>(Dest)) {
            bitmap->New(1, 1, pf24bit);
            bitmap->Map[0] = 77;
            return;
        }
        TAssignObject::AssignTo(Dest);
    }
};

// Knows nobody.
class TStranger : public TAssignObject {
public:
    VT_CLASS_NAME(TStranger)
};

class TNotAContainer : public TObject {
public:
    VT_CLASS_NAME(TNotAContainer)
};

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return e.Message;
    }
    return "(no exception)";
}

} // namespace

TEST(AssignProtocol, TheSourceServesARequestTheDestinationDoesNotKnow) {
    TKnowsBitmap source;
    TLinearBitmap bitmap;
    bitmap.Assign(&source);
    ASSERT_TRUE(bitmap.Present);
    EXPECT_EQ(bitmap.Map[0], 77);
}

TEST(AssignProtocol, APairThatKnowsNeitherIsRefused) {
    TStranger a;
    TLinearBitmap b;
    EXPECT_EQ(MessageOf([&] { b.Assign(&a); }), "Cannot assign TStranger to TLinearBitmap");
    EXPECT_EQ(MessageOf([&] { b.AssignTo(&a); }), "Cannot assign TLinearBitmap to TStranger");
    EXPECT_EQ(MessageOf([&] { a.Assign(&b); }), "Cannot assign TLinearBitmap to TStranger");
    TStranger c;
    EXPECT_EQ(MessageOf([&] { a.Assign(&c); }), "Cannot assign TStranger to TStranger");
    EXPECT_FALSE(b.Present);
}

TEST(AssignProtocol, ObjectsOutsideTheFamilyAndNullAreRefused) {
    TNotAContainer other;
    TLinearBitmap b;
    EXPECT_EQ(MessageOf([&] { b.Assign(&other); }),
              "Cannot assign TNotAContainer to TLinearBitmap");
    EXPECT_EQ(MessageOf([&] { b.AssignTo(&other); }),
              "Cannot assign TLinearBitmap to TNotAContainer");
    EXPECT_EQ(MessageOf([&] { b.Assign(nullptr); }), "Cannot assign nil to TLinearBitmap");
    EXPECT_EQ(MessageOf([&] { b.AssignTo(nullptr); }), "Cannot assign TLinearBitmap to nil");
}

TEST(AssignProtocol, ARefusalLeavesLaterRequestsWorking) {
    TStranger a;
    TLinearBitmap b;
    EXPECT_THROW(b.Assign(&a), Exception);
    TKnowsBitmap source;
    b.Assign(&source); // the hand-off state of the refused request is gone
    EXPECT_TRUE(b.Present);
}
