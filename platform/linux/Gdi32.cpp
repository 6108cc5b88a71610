// gdi32's logical palettes for Linux: a palette handle is a small object that keeps a copy of
// the entries it was created from, valid until DeleteObject releases it.
#include "platform/Win32.h"

#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

namespace {

struct TPaletteObject {
    std::vector<PALETTEENTRY> Entries;
};

// Every live handle, so that a stale or foreign handle is refused instead of dereferenced.
// Handles may be used from any thread, as gdi32's are.
std::mutex& HandlesLock() {
    static std::mutex lock;
    return lock;
}
std::unordered_set<const void*>& LiveHandles() {
    static std::unordered_set<const void*> handles;
    return handles;
}

bool IsLive(const void* handle) {
    return handle != nullptr && LiveHandles().count(handle) != 0;
}

} // namespace

VT_PLATFORM_API HPALETTE CreatePalette(const LOGPALETTE* palette) {
    // Only the version that every caller writes (0x300) is known; a palette needs one entry.
    if (palette == nullptr || palette->palVersion != 0x300 || palette->palNumEntries == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        auto* object = new TPaletteObject;
        object->Entries.resize(palette->palNumEntries);
        // The entries run past the one-element array of the record's declaration.
        const auto* first =
            reinterpret_cast<const BYTE*>(palette) + offsetof(LOGPALETTE, palPalEntry);
        std::memcpy(object->Entries.data(), first, object->Entries.size() * sizeof(PALETTEENTRY));
        std::lock_guard<std::mutex> guard(HandlesLock());
        try {
            LiveHandles().insert(object);
        } catch (...) {
            delete object;
            throw;
        }
        return object;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

VT_PLATFORM_API UINT GetPaletteEntries(HPALETTE palette, UINT start, UINT count,
                                       PALETTEENTRY* entries) {
    std::lock_guard<std::mutex> guard(HandlesLock());
    if (!IsLive(palette)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    const auto& stored = static_cast<const TPaletteObject*>(palette)->Entries;
    const auto total = static_cast<UINT>(stored.size());
    // Without a buffer the caller asks for the palette's size.
    if (entries == nullptr)
        return total;
    if (start >= total)
        return 0;
    const UINT copied = count < total - start ? count : total - start;
    std::memcpy(entries, stored.data() + start, copied * sizeof(PALETTEENTRY));
    return copied;
}

VT_PLATFORM_API BOOL DeleteObject(HGDIOBJ object) {
    std::lock_guard<std::mutex> guard(HandlesLock());
    if (!IsLive(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    LiveHandles().erase(object);
    delete static_cast<TPaletteObject*>(object);
    return TRUE;
}
