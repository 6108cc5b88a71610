// veltrane: the substitute host. It loads the plug-in module, registers it and runs its
// command on real image files.
#include "host/Gallery.h"
#include "host/ImageFile.h"
#include "host/PluginModule.h"
#include "host/Serve.h"
#include "host/StretchJob.h"
#include "library/Startup.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const Usage = R"(usage: veltrane <command> [options]

commands:
  info [--plugin PATH]     load the plug-in, register it and show its command
  stretch IN OUT           stretch one image (PNG, JPEG, TIFF, WebP, BMP, PNM, ...)
     --offset | --no-offset | --cancel
                           answer "Allow offset components?" (default: ask on the terminal)
     --row-align N         hand the plug-in rows aligned to N bytes (1 = packed, 4 = Windows)
     --compare FILE        also write the image before and after, side by side
  stretch --out-dir DIR [--jobs N] [--pool] IN...
                           stretch many images into DIR, N read and written at once;
                           --pool fits one transform to all of them together
  apply IN OUT --transform FILE
                           apply a transform saved by --save-transform (also with
                           --out-dir DIR IN...; --nodata V, --threads N, --compare FILE)
  gallery IN OUT [--tile-width N] [--sample X,Y,W,H] [--mask FILE] [--every K]
                           one contact sheet of IN (8- or 16-bit colour) under twelve
                           stretch settings, each tile labelled with the stretch options
                           that produce it; fitted to the whole image, tiles about N pixels
                           wide (default 400)
  serve [--port N] [--address A] [--root DIR]
                           serve the web page (the stretch in the browser; images never
                           leave the device) at http://127.0.0.1:8080/ until interrupted;
                           --port 0 picks a free port, --address 0.0.0.0 opens it to the
                           network

engine options of stretch (8-bit colour images without them go through the plug-in;
other images and any of these through the stretch engine in this process):
  --basis correlation|covariance
                           the matrix whose eigenvectors are the axes (default correlation)
  --pairing plugin|direct  three bands: measured and applied in the plug-in's orders
                           (default) or in one order; other band counts pair directly
  --sample X,Y,W,H         statistics from this rectangle only
  --mask FILE              statistics from the pixels where FILE (the image's size, its
                           first band) is not zero
  --every K                statistics from every K-th pixel, across and down
  --nodata V               pixels whose bands all equal V are neither counted nor changed
  --threads N              threads for the engine (default 0: the processor's)
  --save-transform FILE    also write the fitted transform (JSON) for veltrane apply

options:
  --plugin PATH            the plug-in module (default: Veltrane.so beside this program)
  -h, --help               show this help
  --version                show the version

exit status: 0 done, 1 the plug-in did nothing or the question was cancelled, 2 error
)";

int Info(const std::vector<std::string>& args) {
    std::string pluginPath = vt::host::DefaultPluginPath();
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--plugin" && i + 1 < args.size())
            pluginPath = args[++i];
        else
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
        std::fputs(Usage, stderr);
        return 2;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    try {
        if (command == "-h" || command == "--help" || command == "help") {
            std::fputs(Usage, stdout);
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
            return command == "stretch" ? vt::host::StretchCommand(args)
                   : command == "apply" ? vt::host::ApplyCommand(args)
                                        : vt::host::GalleryCommand(args);
        }
        std::fprintf(stderr, "veltrane: unknown command '%s'\n\n%s", command.c_str(), Usage);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "veltrane: %s\n", e.what());
        return 2;
    }
}
