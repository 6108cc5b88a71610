// The test host's module loading and message-box answering: on Linux through the user32
// substitute's handler, on Windows by replacing the DLL's import of MessageBoxA.
#include "PluginHost.h"

#include "platform/Win32.h"

#include <cstring>
#include <stdexcept>

namespace vt::test {

namespace {
TMessageBoxAnswerer* Current = nullptr;

template <class TFunc> TFunc ProcAddress(HMODULE module, const char* name) {
    return reinterpret_cast<TFunc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
} // namespace

std::string PluginPath() {
    return VT_PLUGIN_PATH;
}

int TMessageBoxAnswerer::Answer(intptr_t owner, const char* text, const char* caption,
                                unsigned type) {
    Calls.push_back({owner, text ? text : "", caption ? caption : "", type});
    if (Answers.empty())
        return IDOK;
    const int answer = Answers.front();
    Answers.erase(Answers.begin());
    return answer;
}

#if defined(_WIN32)

namespace {

int WINAPI AnswerMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (Current == nullptr)
        return IDCANCEL;
    return Current->Answer(reinterpret_cast<intptr_t>(owner), text, caption, type);
}

// Points the module's import of user32!MessageBoxA at replacement.
void PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto* base = reinterpret_cast<uint8_t*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
    for (; desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<uintptr_t>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            return;
        }
    }
    throw std::runtime_error(std::string("the module does not import ") + function);
}

} // namespace

TMessageBoxAnswerer::TMessageBoxAnswerer(std::vector<int> answers) : Answers(std::move(answers)) {
    Current = this;
}
TMessageBoxAnswerer::~TMessageBoxAnswerer() {
    Current = nullptr;
}

TLoadedPlugin::TLoadedPlugin() {
    HMODULE module = LoadLibraryA(PluginPath().c_str());
    if (module == nullptr)
        throw std::runtime_error("cannot load " + PluginPath());
    Module = module;
    PatchImport(module, "user32.dll", "MessageBoxA", reinterpret_cast<void*>(&AnswerMessageBox));
    RegisterPlugin = ProcAddress<TRegisterPluginFunc>(module, "RegisterPlugin");
    ProcessImage = ProcAddress<TProcessImageFunc>(module, "ProcessImage");
}

TLoadedPlugin::~TLoadedPlugin() {
    FreeLibrary(static_cast<HMODULE>(Module));
}

#else

namespace {
int AnswerMessageBox(void*, HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (Current == nullptr)
        return IDCANCEL;
    return Current->Answer(reinterpret_cast<intptr_t>(owner), text, caption, type);
}
} // namespace

TMessageBoxAnswerer::TMessageBoxAnswerer(std::vector<int> answers) : Answers(std::move(answers)) {
    Current = this;
    VtSetMessageBoxHandler(AnswerMessageBox, nullptr);
}
TMessageBoxAnswerer::~TMessageBoxAnswerer() {
    VtSetMessageBoxHandler(nullptr, nullptr);
    Current = nullptr;
}

TLoadedPlugin::TLoadedPlugin() {
    Module = LoadLibraryA(PluginPath().c_str());
    if (Module == nullptr)
        throw std::runtime_error("cannot load " + PluginPath());
    RegisterPlugin = ProcAddress<TRegisterPluginFunc>(Module, "RegisterPlugin");
    ProcessImage = ProcAddress<TProcessImageFunc>(Module, "ProcessImage");
}

TLoadedPlugin::~TLoadedPlugin() {
    FreeLibrary(Module);
}

#endif

} // namespace vt::test
