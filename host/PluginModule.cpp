// Loading a plug-in module and answering its message boxes.
#include "host/PluginModule.h"

#include "platform/Win32.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace vt::host {

namespace {

TRegisteredCommand* Registering = nullptr;

int32_t VT_STDCALL HostCallback(int32_t code, void* data) {
    if (code == VT_CALLBACK_REGISTER_COMMAND && Registering != nullptr && data != nullptr) {
        const auto* command = static_cast<const TPluginCommand*>(data);
        Registering->Menu = command->Menu ? command->Menu : "";
        Registering->Caption = command->Caption ? command->Caption : "";
        Registering->Description = command->Description ? command->Description : "";
        Registering->CommandId = command->CommandId;
        return 1;
    }
    if (code == VT_CALLBACK_GET_OWNER_WINDOW && data != nullptr) {
        *static_cast<int32_t*>(data) = 0; // a console host has no window
        return 1;
    }
    return 0;
}

int AnswerBox(void* context, HWND, LPCSTR text, LPCSTR caption, UINT type) {
    const TAnswer answer = static_cast<TMessageBoxAnswers*>(context)->Answer;
    const UINT buttons = type & 0x0Fu;
    if (buttons != MB_YESNOCANCEL && buttons != MB_YESNO) {
        std::fprintf(stderr, "%s: %s\n", caption ? caption : "", text ? text : "");
        return IDOK;
    }
    switch (answer) {
    case TAnswer::Yes:
        return IDYES;
    case TAnswer::No:
        return IDNO;
    default:
        return IDCANCEL;
    }
}

} // namespace

std::string DefaultPluginPath() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::filesystem::path dir = error ? std::filesystem::path(".") : self.parent_path();
    return (dir / "Veltrane.so").string();
}

TPluginModule::TPluginModule(const std::string& path) : ModulePath(path) {
    // A bare name would be searched for in the library path; the host means a file.
    std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    if (!std::filesystem::exists(name))
        throw std::runtime_error("cannot load the plug-in " + path + ": no such file");
    Module = LoadLibraryA(name.c_str());
    if (Module == nullptr)
        throw std::runtime_error("cannot load the plug-in " + path +
                                 ": not a loadable module for this system");
    RegisterFunc = reinterpret_cast<TRegisterPluginFunc>(GetProcAddress(Module, "RegisterPlugin"));
    ProcessFunc = reinterpret_cast<TProcessImageFunc>(GetProcAddress(Module, "ProcessImage"));
    if (RegisterFunc == nullptr || ProcessFunc == nullptr) {
        FreeLibrary(Module);
        Module = nullptr;
        throw std::runtime_error("the module " + path +
                                 " does not export RegisterPlugin and ProcessImage");
    }
}

TPluginModule::~TPluginModule() {
    if (Module != nullptr)
        FreeLibrary(Module);
}

TRegisteredCommand TPluginModule::Register() {
    TRegisteredCommand command;
    Registering = &command;
    RegisterFunc(HostCallback);
    Registering = nullptr;
    if (command.Caption.empty())
        throw std::runtime_error("the plug-in " + ModulePath + " registered no command");
    return command;
}

int32_t TPluginModule::Process(int32_t commandId, THostImage& image) {
    return ProcessFunc(commandId, &image);
}

TMessageBoxAnswers::TMessageBoxAnswers(TAnswer answer) : Answer(answer) {
    if (answer != TAnswer::Ask)
        VtSetMessageBoxHandler(AnswerBox, this);
}

TMessageBoxAnswers::~TMessageBoxAnswers() {
    if (Answer != TAnswer::Ask)
        VtSetMessageBoxHandler(nullptr, nullptr);
}

} // namespace vt::host
