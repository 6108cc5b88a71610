// The plug-in module as a host sees it: registration, the command protocol, the boxes it
// shows, refusals that leave the host's pixels untouched, and the caller's float environment.
#include "PluginHost.h"

#include "platform/Win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

using namespace vt::test;

namespace {

struct TCallbackLog {
    std::vector<int32_t> Codes;
    std::string Menu, Caption, Description;
    int32_t CommandId = -1;
    int32_t Result = 0;
    int32_t Owner = 0x4321;
};
TCallbackLog* Log = nullptr;

int32_t VT_STDCALL RecordingCallback(int32_t code, void* data) {
    Log->Codes.push_back(code);
    if (code == VT_CALLBACK_REGISTER_COMMAND) {
        const auto* command = static_cast<const TPluginCommand*>(data);
        Log->Menu = command->Menu;
        Log->Caption = command->Caption;
        Log->Description = command->Description;
        Log->CommandId = command->CommandId;
    } else if (code == VT_CALLBACK_GET_OWNER_WINDOW) {
        *static_cast<int32_t*>(data) = Log->Owner;
    }
    return Log->Result;
}

int32_t VT_STDCALL OtherCallback(int32_t code, void* data) {
    Log->Codes.push_back(1000 + code);
    if (code == VT_CALLBACK_GET_OWNER_WINDOW)
        *static_cast<int32_t*>(data) = 99;
    return 0;
}

// A host image in memory of its own, with guard bytes around it that must never change.
struct THostPicture {
    THostPicture(int32_t w, int32_t h, int32_t pixelSize, int32_t bytesPerLine)
        : Storage(static_cast<size_t>(bytesPerLine > 0 ? bytesPerLine : 1) *
                      static_cast<size_t>(h > 0 ? h : 1) +
                  2 * Guard) {
        for (size_t i = 0; i < Storage.size(); ++i)
            Storage[i] = static_cast<uint8_t>(i * 31 + 7);
        Original = Storage;
        Image = {w, h, bytesPerLine, pixelSize, Storage.data() + Guard, nullptr};
    }
    bool Unchanged() const { return Storage == Original; }

    static constexpr size_t Guard = 64;
    std::vector<uint8_t> Storage;
    std::vector<uint8_t> Original;
    THostImage Image;
};

class Protocol : public testing::Test {
protected:
    void SetUp() override {
        Log = &log;
        plugin = std::make_unique<TLoadedPlugin>();
        ASSERT_NE(plugin->RegisterPlugin, nullptr);
        ASSERT_NE(plugin->ProcessImage, nullptr);
    }
    void TearDown() override { Log = nullptr; }

    void Register() {
        ASSERT_EQ(plugin->RegisterPlugin(RecordingCallback), 0);
        log.Codes.clear();
    }

    TCallbackLog log;
    std::unique_ptr<TLoadedPlugin> plugin;
};

} // namespace

TEST_F(Protocol, RegistrationDescribesTheCommandAndReturnsTheCallbacksResult) {
    log.Result = 5;
    EXPECT_EQ(plugin->RegisterPlugin(RecordingCallback), 5);
    EXPECT_EQ(log.Codes, std::vector<int32_t>{VT_CALLBACK_REGISTER_COMMAND});
    EXPECT_EQ(log.Menu, "Plugins");
    EXPECT_EQ(log.Caption, "Veltrane");
    EXPECT_EQ(log.Description, "Stretch PCA components (note: this might not be implementated "
                               "exactly as described in books on the subject)");
    EXPECT_EQ(log.CommandId, 1);
}

TEST_F(Protocol, NullRegistrationReturnsZeroAndCallsNothing) {
    EXPECT_EQ(plugin->RegisterPlugin(nullptr), 0);
    EXPECT_TRUE(log.Codes.empty());
    // Without a callback the command still refuses cleanly instead of calling null.
    TMessageBoxAnswerer boxes;
    THostPicture picture(2, 2, 3, 6);
    EXPECT_EQ(plugin->ProcessImage(2, &picture.Image), VT_NOT_DONE);
    EXPECT_TRUE(boxes.Calls.empty());
}

TEST_F(Protocol, ASecondRegistrationReplacesTheCallback) {
    Register();
    ASSERT_EQ(plugin->RegisterPlugin(OtherCallback), 0);
    log.Codes.clear();
    THostPicture picture(2, 2, 3, 6);
    TMessageBoxAnswerer boxes;
    EXPECT_EQ(plugin->ProcessImage(2, &picture.Image), VT_NOT_DONE);
    EXPECT_EQ(log.Codes, std::vector<int32_t>{1000 + VT_CALLBACK_GET_OWNER_WINDOW});
}

TEST_F(Protocol, OtherCommandsAskForTheWindowAndDoNothing) {
    Register();
    TMessageBoxAnswerer boxes;
    THostPicture picture(4, 2, 3, 12);
    for (int32_t command : {0, 2, -1, 1000}) {
        log.Codes.clear();
        EXPECT_EQ(plugin->ProcessImage(command, &picture.Image), VT_NOT_DONE);
        EXPECT_EQ(log.Codes, std::vector<int32_t>{VT_CALLBACK_GET_OWNER_WINDOW});
    }
    EXPECT_TRUE(boxes.Calls.empty());
    EXPECT_TRUE(picture.Unchanged());
}

TEST_F(Protocol, ImagesThatAreNot24BitGetTheNotice) {
    Register();
    for (int32_t pixelSize : {1, 4, 2}) {
        TMessageBoxAnswerer boxes({IDOK});
        THostPicture picture(4, 2, pixelSize, 4 * pixelSize);
        EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_NOT_DONE);
        ASSERT_EQ(boxes.Calls.size(), 1u);
        EXPECT_EQ(boxes.Calls[0].Text, "Select a 24 bit image first.");
        EXPECT_EQ(boxes.Calls[0].Caption, "Information");
        EXPECT_EQ(boxes.Calls[0].Type, 0x40u);
        EXPECT_EQ(boxes.Calls[0].Owner, log.Owner);
        EXPECT_TRUE(picture.Unchanged());
    }
}

TEST_F(Protocol, CancellingTheQuestionLeavesThePixels) {
    Register();
    for (int answer : {IDCANCEL, 0, IDOK}) {
        TMessageBoxAnswerer boxes({answer});
        THostPicture picture(4, 2, 3, 12);
        EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_NOT_DONE);
        ASSERT_EQ(boxes.Calls.size(), 1u);
        EXPECT_EQ(boxes.Calls[0].Text, "Allow offset components?");
        EXPECT_EQ(boxes.Calls[0].Caption, "Confirmation");
        EXPECT_EQ(boxes.Calls[0].Type, 0x23u);
        EXPECT_EQ(boxes.Calls[0].Owner, log.Owner);
        EXPECT_TRUE(picture.Unchanged());
    }
}

TEST_F(Protocol, InvalidRecordsAreRefusedAfterTheQuestionWithoutTouchingMemory) {
    Register();
    struct TCase {
        int32_t Width, Height, BytesPerLine;
        bool NullMap;
    };
    for (const TCase& c : {TCase{0, 2, 12, false}, TCase{4, 0, 12, false}, TCase{4, 2, 12, true},
                           TCase{4, 2, 11, false}, TCase{4, 2, -12, false},
                           TCase{4, 40000, 60000, false}, TCase{-4, 2, 12, false}}) {
        TMessageBoxAnswerer boxes({IDYES});
        THostPicture picture(c.Width, c.Height, 3, 12);
        picture.Image.BytesPerLine = c.BytesPerLine;
        if (c.NullMap)
            picture.Image.Map = nullptr;
        EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_NOT_DONE);
        ASSERT_EQ(boxes.Calls.size(), 2u) << c.Width << "x" << c.Height << " / " << c.BytesPerLine;
        EXPECT_EQ(boxes.Calls[1].Text, "Invalid bitmap size");
        EXPECT_EQ(boxes.Calls[1].Owner, log.Owner);
        EXPECT_TRUE(picture.Unchanged());
    }
}

// The worked example, as (first, second, third) byte per pixel, and its stretched values.
const uint8_t Worked[12] = {10, 50, 90, 60, 80, 40, 200, 150, 100, 30, 220, 170};
const uint8_t WorkedOffset[12] = {25, 0, 79, 125, 19, 0, 255, 109, 104, 0, 255, 243};
const uint8_t WorkedScaleOnly[12] = {13, 77, 136, 88, 122, 60, 255, 205, 159, 14, 255, 246};

TEST_F(Protocol, YesAndNoStretchTheImageInPlace) {
    Register();
    for (const auto& [answer, expected] :
         {std::pair{IDYES, WorkedOffset}, std::pair{IDNO, WorkedScaleOnly}}) {
        THostPicture picture(4, 1, 3, 12);
        std::memcpy(picture.Image.Map, Worked, 12);
        TMessageBoxAnswerer boxes({answer});
        EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_PROCESSED);
        EXPECT_EQ(boxes.Calls.size(), 1u);
        EXPECT_EQ(0, std::memcmp(picture.Image.Map, expected, 12));
        // The guard bytes around the host's image are untouched.
        EXPECT_TRUE(std::equal(picture.Storage.begin(), picture.Storage.begin() + 64,
                               picture.Original.begin()));
        EXPECT_TRUE(std::equal(picture.Storage.end() - 64, picture.Storage.end(),
                               picture.Original.end() - 64));
    }
}

TEST_F(Protocol, PaddedRowsAreWrittenBackAroundTheirPadding) {
    Register();
    // The four pixels as a 2 x 2 image with 4-byte aligned rows (6 bytes of pixels, 2 of padding).
    THostPicture picture(2, 2, 3, 8);
    auto* map = static_cast<uint8_t*>(picture.Image.Map);
    std::memcpy(map, Worked, 6);
    std::memcpy(map + 8, Worked + 6, 6);
    picture.Original = picture.Storage;
    TMessageBoxAnswerer boxes({IDYES});
    EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_PROCESSED);
    EXPECT_EQ(0, std::memcmp(map, WorkedOffset, 6));
    EXPECT_EQ(0, std::memcmp(map + 8, WorkedOffset + 6, 6));
    for (size_t i : {6u, 7u, 14u, 15u})
        EXPECT_EQ(map[i], picture.Original[THostPicture::Guard + i]) << "padding byte " << i;
}

TEST_F(Protocol, DegenerateImagesAreProcessedSoundly) {
    Register();
    for (int answer : {IDYES, IDNO}) {
        THostPicture single(1, 1, 3, 3);
        TMessageBoxAnswerer boxes({answer, IDOK});
        EXPECT_EQ(plugin->ProcessImage(1, &single.Image), VT_PROCESSED);
        EXPECT_EQ(boxes.Calls.size(), 1u) << "no error box";
        EXPECT_TRUE(single.Unchanged());
    }
}

TEST_F(Protocol, TheCallersFloatingPointEnvironmentSurvives) {
    Register();
    std::fesetround(FE_UPWARD);
    std::feclearexcept(FE_ALL_EXCEPT);
    TMessageBoxAnswerer boxes({IDYES});
    THostPicture picture(4, 2, 3, 12);
    EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_PROCESSED);
    EXPECT_EQ(std::fegetround(), FE_UPWARD);
    EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0);
    std::fesetround(FE_TONEAREST);
}

#ifndef _WIN32
// The plug-in computes on the thread the host calls it on, whatever the environment says: a
// watcher counts the process's threads while a large image is stretched.
TEST_F(Protocol, TheStretchRunsOnTheHostsThreadAlone) {
    Register();
    auto threadCount = [] {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("Threads:", 0) == 0)
                return std::stoi(line.substr(8));
        return -1;
    };
    ::setenv("VELTRANE_THREADS", "4", 1);
    const int before = threadCount();
    std::atomic<bool> done{false};
    std::atomic<int> most{0};
    std::thread watcher([&] {
        while (!done.load())
            most = std::max(most.load(), threadCount());
    });
    THostPicture picture(4000, 1500, 3, 12000);
    TMessageBoxAnswerer boxes({IDYES, IDNO, IDYES});
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(plugin->ProcessImage(1, &picture.Image), VT_PROCESSED);
    done = true;
    watcher.join();
    ::unsetenv("VELTRANE_THREADS");
    EXPECT_EQ(most.load(), before + 1) << "only the watcher may join the host's thread";
}
#endif
