// The registry of bitmap file loaders: created empty at start-up by the linear bitmap module
// and destroyed at shut-down. Nothing in the library registers a loader; programs may.
#pragma once

#include "rtl/Object.h"

#include <cstdint>

namespace vt {

class TLinearBitmap;

// Reads a file into a linear bitmap; raises on failure.
using TBitmapLoadFunc = void (*)(const char* fileName, TLinearBitmap& bitmap);

class TBitmapLoaders : public TObject {
public:
    VT_CLASS_NAME(TBitmapLoaders)

    TBitmapLoaders() = default;
    ~TBitmapLoaders() override;

    // Registers a loader for a file extension (".png"; compared without regard to ASCII
    // case); a second registration for the same extension replaces the first.
    void Register(const char* extension, TBitmapLoadFunc loader);
    // The loader registered for the extension of FileName, or null.
    TBitmapLoadFunc Find(const char* fileName) const;
    int32_t Count() const { return EntryCount; }

private:
    struct TEntry {
        char Extension[16];
        TBitmapLoadFunc Loader;
    };
    TEntry* Entries = nullptr; // owned storage block; null while there are none
    int32_t EntryCount = 0;
    int32_t EntryCapacity = 0;
};

// The global registry; exists between LibraryStartup and LibraryShutdown.
extern TBitmapLoaders* BitmapLoaders;

} // namespace vt
