// What `veltrane --help` and each command's --help print: one text a command, each option with
// what it does, so that the top-level help is every command's text in turn.
#pragma once

namespace vt::host {

extern const char* const InfoHelp;
const char* StretchHelp(); // made with the engine's table of options
extern const char* const ApplyHelp;
extern const char* const GalleryHelp;
extern const char* const ServeHelp;

// The program's own help: its synopsis and every command's text.
const char* MainHelp();

} // namespace vt::host
