// Message formatting and the exception family.
#include "rtl/SysUtils.h"

#include <gtest/gtest.h>

using namespace vt;

TEST(Format, SubstitutesTextAndIntegers) {
    EXPECT_EQ(Format("Error opening \"%s\" - %s", {"a.txt", "not found"}),
              "Error opening \"a.txt\" - not found");
    EXPECT_EQ(Format("List index out of bounds (%d)", {-1}), "List index out of bounds (-1)");
    EXPECT_EQ(Format("%s expected", {'('}), "( expected");
    EXPECT_EQ(Format("100%% of %d", {3}), "100% of 3");
    EXPECT_EQ(Format("no directives", {}), "no directives");
}

TEST(Format, RefusesMissingOrMismatchedArguments) {
    EXPECT_THROW(Format("%s and %s", {"one"}), EConvertError);
    EXPECT_THROW(Format("%d", {"text"}), EConvertError);
    EXPECT_THROW(Format("%x", {1}), EConvertError);
}

TEST(Exceptions, CarryTheRuntimeMessages) {
    EXPECT_STREQ(EInvalidOp().what(), "Invalid floating point operation");
    EXPECT_STREQ(EZeroDivide().what(), "Floating point division by zero");
    EXPECT_STREQ(EOverflow().what(), "Floating point overflow");
    EXPECT_STREQ(EOverflow().ClassName(), "EOverflow");
    EXPECT_STREQ(EInOutError("x").ClassName(), "EInOutError");
    // The fault classes share one base, so a handler can catch them together.
    EXPECT_THROW(throw EZeroDivide(), EMathError);
}
