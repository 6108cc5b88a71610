// The `gallery` command: one contact sheet of an image under a fixed set of stretch settings,
// so that a user can choose among them by eye. Each tile is labelled with the `veltrane
// stretch` options that produce it.
#pragma once

#include <string>
#include <vector>

namespace vt::host {

// Parses the arguments (IN OUT [--tile-width N] [--sample X,Y,W,H] [--mask FILE] [--every K])
// and writes the sheet. Returns the exit status; refusals are thrown as exceptions whose
// message says why (nothing is written then).
int GalleryCommand(const std::vector<std::string>& args);

} // namespace vt::host
