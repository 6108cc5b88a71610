// The linear bitmap, the container copy protocol and the grey palette.
#include "image/LinarBitmap.h"

#include "image/BitmapLoaders.h"
#include "image/LinarBitmapDevice.h"
#include "rtl/Memory.h"
#include "rtl/ModuleCounter.h"

#include <cstring>

namespace vt {

uint8_t GrayPalette[768];

// ---- TAssignObject ---------------------------------------------------------------------

namespace {

// The copy request being handed from one side to the other. A base operation that sees its
// own request come back knows that neither class handles the other.
struct THandOff {
    const TObject* Source = nullptr;
    const TObject* Dest = nullptr;
};
thread_local THandOff CurrentHandOff;

class THandOffScope {
public:
    THandOffScope(const TObject* source, const TObject* dest) : Saved(CurrentHandOff) {
        CurrentHandOff = {source, dest};
    }
    ~THandOffScope() { CurrentHandOff = Saved; }
    THandOffScope(const THandOffScope&) = delete;
    THandOffScope& operator=(const THandOffScope&) = delete;

private:
    THandOff Saved;
};

bool IsHandOff(const TObject* source, const TObject* dest) {
    return CurrentHandOff.Source == source && CurrentHandOff.Dest == dest;
}

[[noreturn]] void CannotAssign(const TObject* source, const TObject* dest) {
    throw Exception(std::string("Cannot assign ") + (source ? source->ClassName() : "nil") +
                    " to " + (dest ? dest->ClassName() : "nil"));
}

} // namespace

void TAssignObject::Assign(TObject* Source) {
    auto* partner = dynamic_cast<TAssignObject*>(Source);
    if (partner == nullptr || IsHandOff(Source, this))
        CannotAssign(Source, this);
    THandOffScope scope(Source, this);
    partner->AssignTo(this);
}

void TAssignObject::AssignTo(TObject* Dest) {
    auto* partner = dynamic_cast<TAssignObject*>(Dest);
    if (partner == nullptr || IsHandOff(this, Dest))
        CannotAssign(this, Dest);
    THandOffScope scope(this, Dest);
    partner->Assign(this);
}

// ---- TLinearBitmap ---------------------------------------------------------------------

int32_t PixelSizeOf(uint8_t pixelFormat) noexcept {
    switch (pixelFormat) {
    case pf8bit:
        return 1;
    case pf16bit:
        return 2;
    case pf24bit:
        return 3;
    case pf32bit:
        return 4;
    default:
        return 0;
    }
}

TLinearBitmap::~TLinearBitmap() {
    // The most derived Dispose has already run in the subclass's destructor if it needed
    // to; here only this class's own release is left.
    if (Present || Map != nullptr || Palette != nullptr)
        TLinearBitmap::Dispose();
}

void TLinearBitmap::New(int32_t width, int32_t height, uint8_t pixelFormat) {
    if (Present && width == Width && height == Height && pixelFormat == PixelFormat)
        return;
    const int32_t pixelSize = PixelSizeOf(pixelFormat);
    if (pixelSize == 0)
        throw ELinearBitmap(SUnsupportedPixelFormat);
    if (width < 1 || height < 1)
        throw ELinearBitmap(SInvalidBitmapSize);
    const int64_t line = int64_t{width} * pixelSize;
    const int64_t size = line * height;
    if (size + 1 > INT32_MAX)
        throw ELinearBitmap(SInvalidBitmapSize);

    // Both blocks are had before anything is released, so a failed allocation leaves the
    // bitmap as it was.
    auto* map = static_cast<uint8_t*>(GetMem(static_cast<size_t>(size) + 1));
    uint8_t* palette = Palette;
    if (pixelFormat == pf8bit && (palette == nullptr || Borrowed(palette))) {
        try {
            palette = static_cast<uint8_t*>(GetMem(768));
        } catch (...) {
            FreeMem(map);
            throw;
        }
        // A borrowed palette's colours carry over into the bitmap's own.
        if (Palette != nullptr)
            std::memcpy(palette, Palette, 768);
    }
    ReleaseBlock(Map);
    if (palette != Palette)
        ReleaseBlock(Palette);
    if (pixelFormat != pf8bit) {
        ReleaseBlock(palette);
        palette = nullptr;
    }
    Map = map;
    Palette = palette;
    Width = width;
    Height = height;
    PixelSize = pixelSize;
    BytesPerLine = static_cast<int32_t>(line);
    PixelFormat = pixelFormat;
    Size = static_cast<int32_t>(size);
    Present = true;
}

bool TLinearBitmap::Borrowed(const uint8_t*) const noexcept {
    return false;
}

void TLinearBitmap::Dispose() {
    ReleaseBlock(Map);
    Map = nullptr;
    ReleaseBlock(Palette);
    Palette = nullptr;
    Present = false;
    Width = Height = Size = PixelSize = 0;
    PixelFormat = pfNone;
}

void TLinearBitmap::ReleaseBlock(uint8_t* block) noexcept {
    FreeMem(block);
}

uint8_t* TLinearBitmap::NewPackedBuffer() const {
    const int32_t line = Width * PixelSize;
    auto* packed =
        static_cast<uint8_t*>(GetMem(static_cast<size_t>(line) * static_cast<size_t>(Height) + 1));
    for (int32_t y = 0; y < Height; ++y)
        std::memcpy(packed + static_cast<intptr_t>(y) * line, ScanLine(y),
                    static_cast<size_t>(line));
    return packed;
}

void TLinearBitmap::PackLines() {
    if (!Present || Width * PixelSize == BytesPerLine)
        return;
    uint8_t* packed = NewPackedBuffer();
    ReleaseBlock(Map);
    Map = packed;
    BytesPerLine = Width * PixelSize;
    Size = BytesPerLine * Height;
}

void TLinearBitmap::CopyPixelsFrom(const TLinearBitmap& source) {
    if (BytesPerLine == source.BytesPerLine) {
        std::memcpy(Map, source.Map, static_cast<size_t>(Size));
    } else {
        // Either side's rows may be padded; only the pixels are copied.
        const auto line = static_cast<size_t>(Width) * static_cast<size_t>(PixelSize);
        for (int32_t y = 0; y < Height; ++y)
            std::memcpy(ScanLine(y), source.ScanLine(y), line);
    }
    if (PixelFormat == pf8bit)
        std::memcpy(Palette, source.Palette, 768);
}

void TLinearBitmap::Assign(TObject* Source) {
    if (auto* source = dynamic_cast<TLinearBitmap*>(Source)) {
        if (source == this)
            return;
        if (!source->Present) {
            Dispose();
            return;
        }
        New(source->Width, source->Height, source->PixelFormat);
        CopyPixelsFrom(*source);
        return;
    }
    if (detail::AssignFromDevice(*this, Source))
        return;
    TAssignObject::Assign(Source);
}

void TLinearBitmap::AssignTo(TObject* Dest) {
    if (detail::AssignToDevice(*this, Dest))
        return;
    TAssignObject::AssignTo(Dest);
}

// ---- Module start-up -------------------------------------------------------------------

namespace {
TModuleCounter LinarBitmapCounter;
}

void LinarBitmapStartup() {
    if (!LinarBitmapCounter.Enter())
        return;
    for (int i = 0; i < 256; ++i)
        GrayPalette[3 * i] = GrayPalette[3 * i + 1] = GrayPalette[3 * i + 2] =
            static_cast<uint8_t>(i);
    BitmapLoaders = new TBitmapLoaders();
}

void LinarBitmapShutdown() noexcept {
    if (!LinarBitmapCounter.Leave())
        return;
    delete BitmapLoaders;
    BitmapLoaders = nullptr;
}

} // namespace vt
