// Device-independent bitmaps and their canvas, the alpha image and the bitmap packet.
#include "rtl/Graphics.h"

#include "platform/Win32.h"
#include "rtl/Memory.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace vt {

static_assert(std::is_same_v<TPaletteHandle, HPALETTE>, "TPaletteHandle must be gdi32's HPALETTE");

namespace {

constexpr const char* SInvalidDimensions = "Invalid bitmap dimensions";
constexpr const char* SScanLineRange = "Scan line index out of range";
constexpr const char* SPacketTruncated = "Bitmap packet is truncated";
constexpr const char* SPacketUnsupported = "Unsupported bitmap packet";
constexpr const char* SPacketInvalid = "Invalid bitmap packet";
constexpr const char* SOutOfResources = "Out of system resources";

int32_t BytesPerPixel(TPixelFormat format) {
    switch (format) {
    case TPixelFormat::pf8bit:
        return 1;
    case TPixelFormat::pf16bit:
        return 2;
    case TPixelFormat::pf24bit:
        return 3;
    case TPixelFormat::pf32bit:
        return 4;
    }
    return 0;
}

int64_t StrideOf(int32_t width, int32_t bytesPerPixel) {
    return (int64_t{width} * bytesPerPixel + 3) & ~int64_t{3};
}

// Bytes of a bitmap buffer of this size. Raises EInvalidGraphic for a negative size or one
// whose rows or buffer would not fit in 31 bits.
int32_t BufferSize(int32_t width, int32_t height, int32_t bytesPerPixel) {
    if (width < 0 || height < 0)
        throw EInvalidGraphic(SInvalidDimensions);
    const int64_t stride = StrideOf(width, bytesPerPixel);
    if (stride > INT32_MAX || stride * height > INT32_MAX)
        throw EInvalidGraphic(SInvalidDimensions);
    return static_cast<int32_t>(stride * height);
}

// A cleared block of Size bytes, or null for 0 bytes.
uint8_t* NewZeroedBlock(int64_t size) {
    if (size == 0)
        return nullptr;
    auto* block = static_cast<uint8_t*>(GetMem(static_cast<size_t>(size)));
    std::memset(block, 0, static_cast<size_t>(size));
    return block;
}

// Range of source indices [First, Last) that land inside a target of TargetLength when the
// source's index 0 is placed at Origin.
struct TSpan {
    int32_t First = 0;
    int32_t Last = 0;
};
TSpan Clip(int32_t origin, int32_t length, int32_t targetLength) {
    const int64_t first = std::max<int64_t>(0, -int64_t{origin});
    const int64_t last = std::min<int64_t>(length, int64_t{targetLength} - origin);
    if (last <= first)
        return {};
    return {static_cast<int32_t>(first), static_cast<int32_t>(last)};
}

uint8_t GreyLevel(TColorBGR c) {
    return static_cast<uint8_t>((77 * c.Red + 150 * c.Green + 29 * c.Blue + 128) >> 8);
}

uint8_t Blend(uint8_t over, uint8_t under, uint8_t alpha) {
    return static_cast<uint8_t>((over * alpha + under * (255 - alpha) + 127) / 255);
}

PALETTEENTRY* EntriesOf(LOGPALETTE* record) {
    // The entries run past the one-element array of the record's declaration.
    return reinterpret_cast<PALETTEENTRY*>(reinterpret_cast<uint8_t*>(record) +
                                           offsetof(LOGPALETTE, palPalEntry));
}

LOGPALETTE* NewPaletteRecord(uint32_t count) {
    const size_t bytes = offsetof(LOGPALETTE, palPalEntry) + sizeof(PALETTEENTRY) * count;
    auto* record = static_cast<LOGPALETTE*>(GetMem(bytes));
    std::memset(record, 0, bytes);
    record->palVersion = 0x300;
    record->palNumEntries = static_cast<WORD>(count);
    return record;
}

// Creates a palette from the record and releases the record. Raises EOutOfResources.
TPaletteHandle CreateFromRecord(LOGPALETTE* record) {
    HPALETTE palette = CreatePalette(record);
    FreeMem(record);
    if (palette == nullptr)
        throw EOutOfResources(SOutOfResources);
    return palette;
}

// A palette of its own with the same entries. A handle that yields no entries reads as all
// black, so its copy is one black entry.
TPaletteHandle DuplicatePalette(TPaletteHandle source) {
    const UINT count = GetPaletteEntries(source, 0, 0, nullptr);
    LOGPALETTE* record = NewPaletteRecord(std::max<UINT>(count, 1));
    if (count != 0)
        GetPaletteEntries(source, 0, count, EntriesOf(record));
    return CreateFromRecord(record);
}

uint16_t ReadU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t ReadU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void WriteU16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void WriteU32(uint8_t* p, uint32_t v) {
    WriteU16(p, v);
    WriteU16(p + 2, v >> 16);
}

// The only 16-bit layout a packet may carry: 5-6-5, as the device bitmap stores it.
constexpr uint32_t Masks565[3] = {0xF800, 0x07E0, 0x001F};
constexpr int32_t PacketHeaderSize = 40;

// Decodes a packet into Image (an empty, fresh bitmap). Raises EInvalidGraphic.
void Unpack(const uint8_t* data, int32_t size, TBitmap& image) {
    if (size < PacketHeaderSize)
        throw EInvalidGraphic(SPacketTruncated);
    if (ReadU32(data) != PacketHeaderSize)
        throw EInvalidGraphic(SPacketUnsupported);
    const auto width = static_cast<int32_t>(ReadU32(data + 4));
    const auto height = static_cast<int32_t>(ReadU32(data + 8));
    const uint16_t planes = ReadU16(data + 12);
    const uint16_t bits = ReadU16(data + 14);
    const uint32_t compression = ReadU32(data + 16);
    const uint32_t colorsUsed = ReadU32(data + 32);
    if (planes != 1 || width < 0 || height == INT32_MIN)
        throw EInvalidGraphic(SPacketInvalid);

    TPixelFormat format = TPixelFormat::pf24bit;
    uint32_t colors = 0;
    int64_t masks = 0;
    switch (bits) {
    case 8:
        if (compression != 0)
            throw EInvalidGraphic(SPacketUnsupported);
        if (colorsUsed > 256)
            throw EInvalidGraphic(SPacketInvalid);
        format = TPixelFormat::pf8bit;
        colors = colorsUsed == 0 ? 256 : colorsUsed;
        break;
    case 16:
        if (compression != 3)
            throw EInvalidGraphic(SPacketUnsupported);
        format = TPixelFormat::pf16bit;
        masks = 12;
        break;
    case 24:
    case 32:
        if (compression != 0)
            throw EInvalidGraphic(SPacketUnsupported);
        format = bits == 24 ? TPixelFormat::pf24bit : TPixelFormat::pf32bit;
        break;
    default:
        throw EInvalidGraphic(SPacketUnsupported);
    }

    const int32_t rows = height < 0 ? -height : height;
    const int32_t bytesPerPixel = bits / 8;
    const int64_t stride = StrideOf(width, bytesPerPixel);
    if (stride * rows > INT32_MAX)
        throw EInvalidGraphic(SPacketInvalid);
    const int64_t offset = PacketHeaderSize + masks + int64_t{4} * colors;
    if (offset + stride * rows > size)
        throw EInvalidGraphic(SPacketTruncated);
    if (masks != 0) {
        for (int i = 0; i < 3; ++i)
            if (ReadU32(data + PacketHeaderSize + 4 * i) != Masks565[i])
                throw EInvalidGraphic(SPacketUnsupported);
    }

    image.SetPixelFormat(format);
    image.SetSize(width, rows);
    if (colors != 0) {
        LOGPALETTE* record = NewPaletteRecord(colors);
        PALETTEENTRY* entries = EntriesOf(record);
        const uint8_t* table = data + PacketHeaderSize;
        for (uint32_t i = 0; i < colors; ++i) {
            entries[i].peBlue = table[4 * i];
            entries[i].peGreen = table[4 * i + 1];
            entries[i].peRed = table[4 * i + 2];
        }
        image.SetPalette(CreateFromRecord(record));
    }
    if (image.Empty())
        return;
    const uint8_t* pixels = data + offset;
    const auto rowBytes = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
    for (int32_t k = 0; k < rows; ++k) {
        const int32_t y = height > 0 ? rows - 1 - k : k;
        std::memcpy(image.ScanLine(y), pixels + static_cast<ptrdiff_t>(k * stride), rowBytes);
    }
}

} // namespace

// ---- TCanvas ---------------------------------------------------------------------------

void TCanvas::Draw(int32_t x, int32_t y, const TGraphic* graphic) {
    if (graphic != nullptr && !graphic->Empty())
        graphic->Draw(*this, x, y);
}

TColorBGR TCanvas::Pixel(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= Target.FWidth || y >= Target.FHeight)
        return {};
    return Target.ReadPixel(x, y);
}

void TCanvas::SetPixel(int32_t x, int32_t y, TColorBGR color) {
    if (x < 0 || y < 0 || x >= Target.FWidth || y >= Target.FHeight)
        return;
    Target.WritePixel(x, y, color);
}

int32_t TCanvas::Width() const {
    return Target.FWidth;
}
int32_t TCanvas::Height() const {
    return Target.FHeight;
}

// ---- TBitmap ---------------------------------------------------------------------------

TBitmap::~TBitmap() {
    ReleaseBits();
    if (FPalette != nullptr)
        DeleteObject(FPalette);
}

void TBitmap::ReleaseBits() noexcept {
    FreeMem(FBits);
    FBits = nullptr;
}

uint8_t* TBitmap::Row(int32_t y) const {
    return FBits + static_cast<ptrdiff_t>(FHeight - 1 - y) * FStride;
}

TColorBGR TBitmap::Decode(TPixelFormat format, const uint8_t* row, int32_t x,
                          const TColorTable& colors) {
    switch (format) {
    case TPixelFormat::pf8bit: {
        const uint8_t index = row[x];
        if (colors.Grey)
            return {index, index, index};
        if (index >= colors.Count)
            return {};
        const uint8_t* entry = colors.Colors + 3 * index;
        return {entry[0], entry[1], entry[2]};
    }
    case TPixelFormat::pf16bit: {
        const uint32_t v = ReadU16(row + 2 * x);
        const uint32_t r = v >> 11, g = (v >> 5) & 63, b = v & 31;
        return {static_cast<uint8_t>(b << 3 | b >> 2), static_cast<uint8_t>(g << 2 | g >> 4),
                static_cast<uint8_t>(r << 3 | r >> 2)};
    }
    case TPixelFormat::pf24bit:
        return {row[3 * x], row[3 * x + 1], row[3 * x + 2]};
    case TPixelFormat::pf32bit:
        return {row[4 * x], row[4 * x + 1], row[4 * x + 2]};
    }
    return {};
}

void TBitmap::Encode(TPixelFormat format, uint8_t* row, int32_t x, TColorBGR color,
                     const TColorTable& colors) {
    switch (format) {
    case TPixelFormat::pf8bit: {
        if (colors.Grey) {
            row[x] = GreyLevel(color);
            return;
        }
        int32_t best = 0;
        int32_t bestDistance = INT32_MAX;
        for (int32_t i = 0; i < colors.Count && bestDistance != 0; ++i) {
            const uint8_t* entry = colors.Colors + 3 * i;
            const int32_t db = entry[0] - color.Blue, dg = entry[1] - color.Green,
                          dr = entry[2] - color.Red;
            const int32_t distance = db * db + dg * dg + dr * dr;
            if (distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        row[x] = static_cast<uint8_t>(best);
        return;
    }
    case TPixelFormat::pf16bit:
        WriteU16(row + 2 * x, uint32_t{color.Red} >> 3 << 11 | uint32_t{color.Green} >> 2 << 5 |
                                  uint32_t{color.Blue} >> 3);
        return;
    case TPixelFormat::pf24bit:
        row[3 * x] = color.Blue;
        row[3 * x + 1] = color.Green;
        row[3 * x + 2] = color.Red;
        return;
    case TPixelFormat::pf32bit:
        row[4 * x] = color.Blue;
        row[4 * x + 1] = color.Green;
        row[4 * x + 2] = color.Red;
        row[4 * x + 3] = 0;
        return;
    }
}

TColorBGR TBitmap::ReadPixel(int32_t x, int32_t y) const {
    return Decode(FFormat, Row(y), x, FColors);
}

void TBitmap::WritePixel(int32_t x, int32_t y, TColorBGR color) {
    Encode(FFormat, Row(y), x, color, FColors);
}

void TBitmap::CopyFrom(const TBitmap& source) {
    const int32_t size = source.FBits != nullptr ? source.FStride * source.FHeight : 0;
    uint8_t* bits = nullptr;
    if (size != 0) {
        bits = static_cast<uint8_t*>(GetMem(static_cast<size_t>(size)));
        std::memcpy(bits, source.FBits, static_cast<size_t>(size));
    }
    TPaletteHandle palette = nullptr;
    if (source.FPalette != nullptr) {
        try {
            palette = DuplicatePalette(source.FPalette);
        } catch (...) {
            FreeMem(bits);
            throw;
        }
    }
    ReleaseBits();
    FBits = bits;
    FWidth = source.FWidth;
    FHeight = source.FHeight;
    FFormat = source.FFormat;
    FStride = source.FStride;
    if (FPalette != nullptr)
        DeleteObject(FPalette);
    FPalette = palette;
    FColors = source.FColors;
}

void TBitmap::Assign(TPersistent* Source) {
    if (auto* bitmap = dynamic_cast<TBitmap*>(Source)) {
        if (bitmap != this)
            CopyFrom(*bitmap);
        return;
    }
    TPersistent::Assign(Source);
}

void TBitmap::SetSize(int32_t width, int32_t height) {
    if (width == FWidth && height == FHeight)
        return;
    const int32_t bytesPerPixel = BytesPerPixel(FFormat);
    const int32_t size = BufferSize(width, height, bytesPerPixel);
    const auto stride = static_cast<int32_t>(StrideOf(width, bytesPerPixel));
    uint8_t* bits = NewZeroedBlock(size);
    if (bits != nullptr && FBits != nullptr) {
        const int32_t rows = std::min(height, FHeight);
        const auto rowBytes = static_cast<size_t>(std::min(width, FWidth) * bytesPerPixel);
        for (int32_t y = 0; y < rows; ++y)
            std::memcpy(bits + static_cast<ptrdiff_t>(height - 1 - y) * stride, Row(y), rowBytes);
    }
    ReleaseBits();
    FBits = bits;
    FWidth = width;
    FHeight = height;
    FStride = stride;
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
    const int32_t bytesPerPixel = BytesPerPixel(format);
    if (bytesPerPixel == 0)
        throw EInvalidGraphic(
            Format("Unsupported bitmap pixel format %d", {static_cast<int>(format)}));
    if (format == FFormat)
        return;
    const int32_t size = BufferSize(FWidth, FHeight, bytesPerPixel);
    const auto stride = static_cast<int32_t>(StrideOf(FWidth, bytesPerPixel));
    uint8_t* bits = NewZeroedBlock(size);
    if (bits != nullptr) {
        for (int32_t y = 0; y < FHeight; ++y) {
            const uint8_t* from = Row(y);
            uint8_t* to = bits + static_cast<ptrdiff_t>(FHeight - 1 - y) * stride;
            for (int32_t x = 0; x < FWidth; ++x)
                Encode(format, to, x, Decode(FFormat, from, x, FColors), FColors);
        }
    }
    ReleaseBits();
    FBits = bits;
    FFormat = format;
    FStride = stride;
}

uint8_t* TBitmap::ScanLine(int32_t y) {
    if (FBits == nullptr || y < 0 || y >= FHeight)
        throw EInvalidGraphic(SScanLineRange);
    return Row(y);
}

void TBitmap::SetPalette(TPaletteHandle palette) {
    if (palette == FPalette)
        return;
    TColorTable colors;
    if (palette != nullptr) {
        PALETTEENTRY entries[256];
        colors.Grey = false;
        colors.Count = static_cast<int32_t>(GetPaletteEntries(palette, 0, 256, entries));
        for (int32_t i = 0; i < colors.Count; ++i) {
            colors.Colors[3 * i] = entries[i].peBlue;
            colors.Colors[3 * i + 1] = entries[i].peGreen;
            colors.Colors[3 * i + 2] = entries[i].peRed;
        }
    }
    if (FPalette != nullptr)
        DeleteObject(FPalette);
    FPalette = palette;
    FColors = colors;
}

void TBitmap::Draw(TCanvas& canvas, int32_t x, int32_t y) const {
    if (&canvas == &FCanvas) {
        // Drawn onto itself: read from a copy so that no pixel is read after it was written.
        TBitmap copy;
        copy.CopyFrom(*this);
        copy.Draw(canvas, x, y);
        return;
    }
    const TSpan columns = Clip(x, FWidth, canvas.Width());
    const TSpan rows = Clip(y, FHeight, canvas.Height());
    for (int32_t j = rows.First; j < rows.Last; ++j)
        for (int32_t i = columns.First; i < columns.Last; ++i)
            canvas.SetPixel(x + i, y + j, ReadPixel(i, j));
}

// ---- TAlphaImage -----------------------------------------------------------------------

TAlphaImage::~TAlphaImage() {
    FreeMem(FPixels);
}

void TAlphaImage::SetSize(int32_t width, int32_t height) {
    if (width < 0 || height < 0 || int64_t{width} * height * 4 > INT32_MAX)
        throw EInvalidGraphic(SInvalidDimensions);
    uint8_t* pixels = NewZeroedBlock(int64_t{width} * height * 4);
    FreeMem(FPixels);
    FPixels = pixels;
    FWidth = width;
    FHeight = height;
}

uint8_t* TAlphaImage::ScanLine(int32_t y) {
    if (FPixels == nullptr || y < 0 || y >= FHeight)
        throw EInvalidGraphic(SScanLineRange);
    return FPixels + static_cast<ptrdiff_t>(y) * FWidth * 4;
}

void TAlphaImage::Draw(TCanvas& canvas, int32_t x, int32_t y) const {
    const TSpan columns = Clip(x, FWidth, canvas.Width());
    const TSpan rows = Clip(y, FHeight, canvas.Height());
    for (int32_t j = rows.First; j < rows.Last; ++j) {
        const uint8_t* row = FPixels + static_cast<ptrdiff_t>(j) * FWidth * 4;
        for (int32_t i = columns.First; i < columns.Last; ++i) {
            const uint8_t* p = row + 4 * i;
            const uint8_t alpha = p[3];
            if (alpha == 0)
                continue;
            const TColorBGR under = canvas.Pixel(x + i, y + j);
            canvas.SetPixel(x + i, y + j,
                            {Blend(p[0], under.Blue, alpha), Blend(p[1], under.Green, alpha),
                             Blend(p[2], under.Red, alpha)});
        }
    }
}

// ---- TBitmapPacket ---------------------------------------------------------------------

TBitmapPacket::~TBitmapPacket() {
    FreeMem(FData);
}

void TBitmapPacket::SetData(const void* data, int32_t size) {
    if (size < 0)
        throw EInvalidGraphic(SPacketInvalid);
    uint8_t* copy = nullptr;
    if (size > 0) {
        copy = static_cast<uint8_t*>(GetMem(static_cast<size_t>(size)));
        std::memcpy(copy, data, static_cast<size_t>(size));
    }
    FreeMem(FData);
    FData = copy;
    FSize = size;
}

void TBitmapPacket::Assign(TPersistent* Source) {
    auto* bitmap = dynamic_cast<TBitmap*>(Source);
    if (bitmap == nullptr) {
        TPersistent::Assign(Source);
        return;
    }
    if (bitmap->Empty()) {
        SetData(nullptr, 0);
        return;
    }
    const TPixelFormat format = bitmap->PixelFormat();
    const int32_t bytesPerPixel = BytesPerPixel(format);
    const int32_t width = bitmap->Width(), height = bitmap->Height();
    const int64_t stride = StrideOf(width, bytesPerPixel);

    // An 8-bit bitmap without a palette reads as greys, one whose palette yields nothing as
    // black; both are written as a full table that reads the same.
    PALETTEENTRY entries[256] = {};
    uint32_t colors = 0;
    if (format == TPixelFormat::pf8bit) {
        colors = bitmap->Palette() != nullptr
                     ? GetPaletteEntries(bitmap->Palette(), 0, 256, entries)
                     : 0;
        if (bitmap->Palette() == nullptr)
            for (int i = 0; i < 256; ++i)
                entries[i].peRed = entries[i].peGreen = entries[i].peBlue = static_cast<BYTE>(i);
        if (colors == 0)
            colors = 256;
    }
    const int64_t masks = format == TPixelFormat::pf16bit ? 12 : 0;
    const int64_t offset = PacketHeaderSize + masks + int64_t{4} * colors;
    const int64_t total = offset + stride * height;
    if (total > INT32_MAX)
        throw EInvalidGraphic(SInvalidDimensions);

    uint8_t* data = NewZeroedBlock(total);
    WriteU32(data, PacketHeaderSize);
    WriteU32(data + 4, static_cast<uint32_t>(width));
    WriteU32(data + 8, static_cast<uint32_t>(height));
    WriteU16(data + 12, 1);
    WriteU16(data + 14, static_cast<uint32_t>(bytesPerPixel * 8));
    WriteU32(data + 16, masks != 0 ? 3 : 0);
    WriteU32(data + 20, static_cast<uint32_t>(stride * height));
    WriteU32(data + 32, colors);
    for (int i = 0; i < 3 && masks != 0; ++i)
        WriteU32(data + PacketHeaderSize + 4 * i, Masks565[i]);
    uint8_t* table = data + PacketHeaderSize;
    for (uint32_t i = 0; i < colors; ++i) {
        table[4 * i] = entries[i].peBlue;
        table[4 * i + 1] = entries[i].peGreen;
        table[4 * i + 2] = entries[i].peRed;
    }
    const auto rowBytes = static_cast<size_t>(width) * static_cast<size_t>(bytesPerPixel);
    for (int32_t y = 0; y < height; ++y)
        std::memcpy(data + static_cast<ptrdiff_t>(offset + (height - 1 - y) * stride),
                    bitmap->ScanLine(y), rowBytes);
    FreeMem(FData);
    FData = data;
    FSize = static_cast<int32_t>(total);
}

void TBitmapPacket::AssignTo(TPersistent* Dest) {
    auto* bitmap = dynamic_cast<TBitmap*>(Dest);
    if (bitmap == nullptr) {
        TPersistent::AssignTo(Dest);
        return;
    }
    TBitmap image;
    if (FSize > 0)
        Unpack(FData, FSize, image);
    bitmap->Assign(&image);
}

} // namespace vt
