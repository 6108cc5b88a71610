// The substitute host's view of a plug-in module: loading, registration and the command call,
// with the host's answers to the plug-in's message boxes.
#pragma once

#include "plugin/VeltranePlugin.h"

#include <functional>
#include <string>

namespace vt::host {

// What the plug-in registered through callback code 1.
struct TRegisteredCommand {
    std::string Menu;
    std::string Caption;
    std::string Description;
    int32_t CommandId = 0;
};

class TPluginModule {
public:
    // Loads the module at Path; throws std::runtime_error with the reason when it cannot.
    explicit TPluginModule(const std::string& path);
    ~TPluginModule();
    TPluginModule(const TPluginModule&) = delete;
    TPluginModule& operator=(const TPluginModule&) = delete;

    // Calls RegisterPlugin with the host's callback; returns what the plug-in registered.
    TRegisteredCommand Register();
    // Runs the registered command on Image.
    int32_t Process(int32_t commandId, THostImage& image);

    const std::string& Path() const { return ModulePath; }

private:
    std::string ModulePath;
    void* Module = nullptr;
    TRegisterPluginFunc RegisterFunc = nullptr;
    TProcessImageFunc ProcessFunc = nullptr;
};

// The module built beside the running program.
std::string DefaultPluginPath();

// How the host answers the question "Allow offset components?": Yes, No, Cancel, or ask the
// user on the terminal.
enum class TAnswer { Ask, Yes, No, Cancel };
// Installs the host's answerer for the plug-in's message boxes: questions get Answer, notices
// are printed to standard error. Returns the previous state on destruction.
class TMessageBoxAnswers {
public:
    explicit TMessageBoxAnswers(TAnswer answer);
    ~TMessageBoxAnswers();
    TMessageBoxAnswers(const TMessageBoxAnswers&) = delete;
    TMessageBoxAnswers& operator=(const TMessageBoxAnswers&) = delete;

    TAnswer Answer;
};

} // namespace vt::host
