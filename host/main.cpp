// veltrane: the substitute host. It loads the plug-in module, registers it and runs its
// command on real image files.
#include "host/Gallery.h"
#include "host/Help.h"
#include "host/ImageFile.h"
#include "host/PluginModule.h"
#include "host/Serve.h"
#include "host/StretchJob.h"
#include "library/Startup.h"
#include "platform/Interrupt.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

int Info(const std::vector<std::string>& args) {
    std::string pluginPath = vt::host::DefaultPluginPath();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--plugin" && i + 1 < args.size()) {
            pluginPath = args[++i];
        } else if (args[i] == "-h" || args[i] == "--help") {
            std::fputs(vt::host::InfoHelp, stdout);
            return 0;
        } else
            throw std::invalid_argument("info: unexpected argument '" + args[i] + "'");
    }
    vt::host::TPluginModule plugin(pluginPath);
    const vt::host::TRegisteredCommand command = plugin.Register();
    std::printf("plug-in:     %s\n", plugin.Path().c_str());
    std::printf("menu:        %s\n", command.Menu.c_str());
    std::printf("caption:     %s\n", command.Caption.c_str());
    std::printf("description: %s\n", command.Description.c_str());
    std::printf("command id:  %d\n", command.CommandId);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(vt::host::MainHelp(), stderr);
        return 2;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    try {
        if (command == "-h" || command == "--help" || command == "help") {
            std::fputs(vt::host::MainHelp(), stdout);
            return 0;
        }
        if (command == "--version") {
            std::printf("veltrane %s\n", VT_VERSION);
            return 0;
        }
        if (command == "info")
            return Info(args);
        if (command == "serve")
            return vt::host::ServeCommand(args);
        if (command == "stretch" || command == "apply" || command == "gallery") {
            vt::TLibraryScope library;
            vt::host::TImageIo io(argv[0]);
            // Part files of outputs go if the run is interrupted.
            vt::platform::InstallInterruptCleanup();
            return command == "stretch" ? vt::host::StretchCommand(args)
                   : command == "apply" ? vt::host::ApplyCommand(args)
                                        : vt::host::GalleryCommand(args);
        }
        std::fprintf(stderr, "veltrane: unknown command '%s' (veltrane --help lists them)\n",
                     command.c_str());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltrane: %s\n", e.what());
        return 2;
    }
}
