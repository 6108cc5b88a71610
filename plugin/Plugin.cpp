// The plug-in's exported functions: registration, the command entry and the module's load and
// unload hooks. No exception crosses these functions, and the caller's floating-point
// environment is the same after each call as before it.
#include "plugin/VeltranePlugin.h"

#include "library/Startup.h"
#include "platform/Win32.h"
#include "plugin/StretchCommand.h"
#include "rtl/Extended.h"
#include "rtl/SysUtils.h"

#include <cstddef>
#include <exception>
#include <string>

// The records cross the module boundary as the host lays them out. In the 32-bit build every
// field is 4 bytes, little-endian, without padding; the 64-bit build follows the header's note.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(TPluginCommand) == 16);
static_assert(offsetof(TPluginCommand, Menu) == 0);
static_assert(offsetof(TPluginCommand, Caption) == 4);
static_assert(offsetof(TPluginCommand, Description) == 8);
static_assert(offsetof(TPluginCommand, CommandId) == 12);
static_assert(sizeof(THostImage) == 24);
static_assert(offsetof(THostImage, Width) == 0);
static_assert(offsetof(THostImage, Height) == 4);
static_assert(offsetof(THostImage, BytesPerLine) == 8);
static_assert(offsetof(THostImage, PixelSize) == 12);
static_assert(offsetof(THostImage, Map) == 16);
static_assert(offsetof(THostImage, Palette) == 20);
#elif UINTPTR_MAX == UINT64_MAX
static_assert(sizeof(TPluginCommand) == 32 && offsetof(TPluginCommand, Caption) == 8 &&
                  offsetof(TPluginCommand, Description) == 16 &&
                  offsetof(TPluginCommand, CommandId) == 24,
              "TPluginCommand is three 8-byte pointers and CommandId");
static_assert(sizeof(THostImage) == 32 && offsetof(THostImage, PixelSize) == 12 &&
                  offsetof(THostImage, Map) == 16 && offsetof(THostImage, Palette) == 24,
              "THostImage is four 32-bit integers and two 8-byte pointers");
#endif

namespace {

const char* const SMenu = "Plugins";
const char* const SCaption = "Veltrane";
const char* const SDescription = "Stretch PCA components (note: this might not be implementated "
                                 "exactly as described in books on the subject)";

// Shows why a call failed, in a box owned by the host's window; never raises.
void ReportFailure(int32_t owner, const char* message) noexcept {
    try {
        MessageBoxA(reinterpret_cast<HWND>(static_cast<intptr_t>(owner)), message, SCaption,
                    MB_OK | MB_ICONERROR);
    } catch (...) {
    }
}

bool Started = false;

void ModuleLoad() noexcept {
    try {
        vt::LibraryStartup();
        Started = true;
    } catch (...) {
        Started = false;
    }
}

void ModuleUnload() noexcept {
    if (Started)
        vt::LibraryShutdown();
    Started = false;
}

} // namespace

extern "C" int32_t VT_STDCALL RegisterPlugin(THostCallback Callback) {
    vt::TFloatEnvironmentGuard environment;
    vt::HostCallback = Callback;
    TPluginCommand command{};
    if (Callback == nullptr)
        return 0;
    command.Menu = SMenu;
    command.Caption = SCaption;
    command.Description = SDescription;
    command.CommandId = 1;
    try {
        return Callback(VT_CALLBACK_REGISTER_COMMAND, &command);
    } catch (const std::exception& e) {
        ReportFailure(0, e.what());
    } catch (...) {
        ReportFailure(0, "Unknown error");
    }
    return 0;
}

extern "C" int32_t VT_STDCALL ProcessImage(int32_t CommandId, THostImage* Image) {
    vt::TFloatEnvironmentGuard environment;
    int32_t owner = 0;
    try {
        if (vt::HostCallback != nullptr)
            vt::HostCallback(VT_CALLBACK_GET_OWNER_WINDOW, &owner);
        if (!Started)
            throw vt::Exception("The plug-in library failed to start");
        return vt::RunStretchCommand(CommandId, Image, owner);
    } catch (const std::exception& e) {
        ReportFailure(owner, e.what());
    } catch (...) {
        ReportFailure(owner, "Unknown error");
    }
    return VT_NOT_DONE;
}

#if defined(_WIN32)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH)
        ModuleLoad();
    else if (reason == DLL_PROCESS_DETACH)
        ModuleUnload();
    return TRUE;
}
#else
__attribute__((constructor)) static void PluginLoad() {
    ModuleLoad();
}
__attribute__((destructor)) static void PluginUnload() {
    ModuleUnload();
}
#endif
