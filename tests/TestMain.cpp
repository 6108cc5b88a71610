// Test programs start the library once, as a program that uses it would, and shut it down.
#include "library/Startup.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    vt::TLibraryScope library;
    return RUN_ALL_TESTS();
}
