// A test host for the built plug-in module: loads it, answers its message boxes and keeps a
// log of what the plug-in asked. The same protocol tests run on the Linux module and, under
// Wine, on the Windows DLL.
#pragma once

#include "plugin/VeltranePlugin.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vt::test {

struct TMessageBoxCall {
    intptr_t Owner;
    std::string Text;
    std::string Caption;
    unsigned Type;
};

// Answers every message box with the next value of Answers (IDOK when none is left) and logs
// the calls. Installed for the lifetime of the object.
class TMessageBoxAnswerer {
public:
    explicit TMessageBoxAnswerer(std::vector<int> answers = {});
    ~TMessageBoxAnswerer();
    TMessageBoxAnswerer(const TMessageBoxAnswerer&) = delete;
    TMessageBoxAnswerer& operator=(const TMessageBoxAnswerer&) = delete;

    std::vector<TMessageBoxCall> Calls;
    std::vector<int> Answers;

    int Answer(intptr_t owner, const char* text, const char* caption, unsigned type);
};

// The loaded module; unloaded when destroyed.
class TLoadedPlugin {
public:
    TLoadedPlugin();
    ~TLoadedPlugin();
    TLoadedPlugin(const TLoadedPlugin&) = delete;
    TLoadedPlugin& operator=(const TLoadedPlugin&) = delete;

    TRegisterPluginFunc RegisterPlugin = nullptr;
    TProcessImageFunc ProcessImage = nullptr;

private:
    void* Module = nullptr;
};

// Where the built module lies.
std::string PluginPath();

} // namespace vt::test
