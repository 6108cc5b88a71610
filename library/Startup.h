// The component library's one start-up and shut-down path: every module is initialised once,
// in dependency order, and finalised in the reverse order. It sits above every module it
// starts; each module keeps its own initialisation function.
#pragma once

namespace vt {

// Initialises every module of the component library. Calls nest: only the first one acts,
// and only the matching last LibraryShutdown finalises. Programs that use the library call
// it once before anything else; the plug-in module calls it when it is loaded.
void LibraryStartup();
void LibraryShutdown() noexcept;

// Starts the library for the lifetime of a scope (tools and tests).
class TLibraryScope {
public:
    TLibraryScope() { LibraryStartup(); }
    ~TLibraryScope() { LibraryShutdown(); }
    TLibraryScope(const TLibraryScope&) = delete;
    TLibraryScope& operator=(const TLibraryScope&) = delete;
};

} // namespace vt
