// The bitmap loader registry.
#include "image/BitmapLoaders.h"

#include "image/LinarBitmap.h"
#include "rtl/Memory.h"

#include <cstring>

namespace vt {

TBitmapLoaders* BitmapLoaders = nullptr;

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameExtension(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; ++a, ++b)
        if (LowerAscii(*a) != LowerAscii(*b))
            return false;
    return *a == *b;
}

} // namespace

TBitmapLoaders::~TBitmapLoaders() {
    FreeMem(Entries);
}

void TBitmapLoaders::Register(const char* extension, TBitmapLoadFunc loader) {
    if (extension == nullptr || std::strlen(extension) >= sizeof(TEntry::Extension))
        throw Exception("Invalid loader extension");
    for (int32_t i = 0; i < EntryCount; ++i) {
        if (SameExtension(Entries[i].Extension, extension)) {
            Entries[i].Loader = loader;
            return;
        }
    }
    if (EntryCount == EntryCapacity) {
        const int32_t capacity = EntryCapacity == 0 ? 4 : EntryCapacity * 2;
        auto* grown = static_cast<TEntry*>(GetMem(sizeof(TEntry) * static_cast<size_t>(capacity)));
        if (EntryCount > 0)
            std::memcpy(grown, Entries, sizeof(TEntry) * static_cast<size_t>(EntryCount));
        FreeMem(Entries);
        Entries = grown;
        EntryCapacity = capacity;
    }
    TEntry& entry = Entries[EntryCount++];
    std::strcpy(entry.Extension, extension);
    entry.Loader = loader;
}

TBitmapLoadFunc TBitmapLoaders::Find(const char* fileName) const {
    if (fileName == nullptr)
        return nullptr;
    const char* dot = std::strrchr(fileName, '.');
    if (dot == nullptr)
        return nullptr;
    for (int32_t i = 0; i < EntryCount; ++i)
        if (SameExtension(Entries[i].Extension, dot))
            return Entries[i].Loader;
    return nullptr;
}

} // namespace vt
