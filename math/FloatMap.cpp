// The float map, its conversions to and from linear bitmaps, and the matrix operations.
#include "math/FloatMap.h"

#include "rtl/Extended.h"
#include "rtl/Memory.h"

#include <cstring>

namespace vt {

// ---- TFloatMap -------------------------------------------------------------------------

TFloatMap::~TFloatMap() {
    Dispose();
}

std::unique_ptr<TFloatMap> TFloatMap::CreateFrom(TObject* Source) {
    auto map = std::make_unique<TFloatMap>();
    map->Assign(Source);
    return map;
}

void TFloatMap::New(int32_t width, int32_t height) {
    if (width == Width && height == Height)
        return;
    if (width < 0 || height < 0)
        throw EFloatMap(SInvalidFloatMapSize);
    const int64_t count = int64_t{width} * height; // cannot overflow: both are below 2^31
    if (count > INT32_MAX / static_cast<int64_t>(sizeof(double)))
        throw EFloatMap(SInvalidFloatMapSize);
    const int64_t size = count * static_cast<int64_t>(sizeof(double));

    // The new block is had before the old one is released, so a failed allocation leaves the
    // map as it was rather than pointing at released storage.
    double* map = size == 0 ? nullptr : static_cast<double*>(GetMem(static_cast<size_t>(size)));
    FreeMem(Map);
    Map = map;
    Count = static_cast<int32_t>(count);
    Width = width;
    Height = height;
    BytesPerLine = width * static_cast<int32_t>(sizeof(double));
    Size = static_cast<int32_t>(size);
}

void TFloatMap::Dispose() {
    FreeMem(Map);
    Map = nullptr;
    Width = Height = Count = Size = BytesPerLine = 0;
}

void TFloatMap::Assign(TObject* Source) {
    if (auto* source = dynamic_cast<TFloatMap*>(Source)) {
        if (source == this)
            return;
        New(source->Width, source->Height);
        if (Size > 0)
            std::memcpy(Map, source->Map, static_cast<size_t>(Size));
        return;
    }
    if (auto* bitmap = dynamic_cast<TLinearBitmap*>(Source)) {
        // The bytes are read as one run from the start of the buffer; a bitmap whose buffer
        // is shorter than one byte per pixel (only an inconsistent record can be) is refused
        // rather than read past its end.
        const int64_t count = int64_t{bitmap->Width} * bitmap->Height;
        if (bitmap->Width < 0 || bitmap->Height < 0 ||
            (count > 0 && (bitmap->Map == nullptr || count > bitmap->Size)))
            throw ELinearBitmap(SInvalidBitmapSize);
        New(bitmap->Width, bitmap->Height);
        for (int32_t i = 0; i < Count; ++i)
            Map[i] = bitmap->Map[i];
        return;
    }
    TStreamClass::Assign(Source);
}

void TFloatMap::AssignTo(TObject* Dest) {
    if (auto* bitmap = dynamic_cast<TLinearBitmap*>(Dest)) {
        if (Width == 0 || Height == 0)
            throw ELinearBitmap(SInvalidBitmapSize);
        bitmap->New(Width, Height, pf8bit);
        // Row by row: a bitmap over foreign memory may keep padded rows of this size.
        for (int32_t y = 0; y < Height; ++y) {
            uint8_t* row = bitmap->ScanLine(y);
            const double* values = Map + static_cast<intptr_t>(y) * Width;
            for (int32_t x = 0; x < Width; ++x)
                row[x] = RoundClampByte(values[x]);
        }
        return;
    }
    TStreamClass::AssignTo(Dest);
}

// ---- TMatrix ---------------------------------------------------------------------------

std::unique_ptr<TMatrix> TMatrix::CreateFrom(TObject* Source) {
    auto matrix = std::make_unique<TMatrix>();
    matrix->Assign(Source);
    return matrix;
}

void TMatrix::Identity() noexcept {
    if (Size > 0)
        std::memset(Map, 0, static_cast<size_t>(Size));
    const int32_t diagonal = Width < Height ? Width : Height;
    for (int32_t k = 0; k < diagonal; ++k)
        Map[static_cast<intptr_t>(k) * Width + k] = 1.0;
}

void TMatrix::Transpose() {
    const int32_t newWidth = Height;
    const int32_t newHeight = Width;
    if (newWidth > 1 && newHeight > 1) {
        auto* transposed = static_cast<double*>(GetMem(static_cast<size_t>(Size)));
        for (int32_t i = 0; i < newHeight; ++i)
            for (int32_t j = 0; j < newWidth; ++j)
                transposed[static_cast<intptr_t>(i) * newWidth + j] =
                    Map[static_cast<intptr_t>(j) * newHeight + i];
        FreeMem(Map);
        Map = transposed;
    }
    // A row or column vector (or an empty shape) keeps its values in the same order.
    Width = newWidth;
    Height = newHeight;
    BytesPerLine = newWidth * static_cast<int32_t>(sizeof(double));
}

double TMatrix::Sum() const noexcept {
    double sum = 0;
    for (int32_t i = 0; i < Count; ++i)
        sum = static_cast<double>(static_cast<Extended>(sum) + Map[i]);
    return sum;
}

} // namespace vt
