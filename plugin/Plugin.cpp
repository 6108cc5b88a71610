// The plug-in's exported functions: registration, the command entry and the module's load and
// unload hooks. No exception crosses these functions, and the caller's floating-point
// environment is the same after each call as before it.
#include "plugin/VeltranePlugin.h"

#include "platform/Win32.h"
#include "plugin/StretchCommand.h"
#include "rtl/Extended.h"
#include "rtl/Startup.h"
#include "rtl/SysUtils.h"

#include <exception>
#include <string>

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
