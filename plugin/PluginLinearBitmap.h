// A linear bitmap over the host's own pixel memory: it borrows the host's pointers, never
// releases them, and moves to a private packed copy when the host's rows are padded, or to
// blocks of its own when it is given another size or format.
#pragma once

#include "image/LinarBitmap.h"
#include "plugin/VeltranePlugin.h"

namespace vt {

class TPluginLinearBitmap : public TLinearBitmap {
public:
    VT_CLASS_NAME(TPluginLinearBitmap)

    // Wraps Image; raises what AssignHostImage raises (nothing is held then).
    explicit TPluginLinearBitmap(const THostImage* Image);
    ~TPluginLinearBitmap() override;

    // Gives up what the bitmap held and takes over the host image without copying. Raises
    // ELinearBitmap "Invalid bitmap size" for a size below 1, a null Map, rows shorter than
    // Width x PixelSize or an image beyond 2 GiB, and "Unsupported pixel format" for a
    // PixelSize other than 1, 3 or 4; the bitmap is empty afterwards.
    void AssignHostImage(const THostImage* Image);
    // Releases only the bitmap's own blocks; borrowed memory stays with the host.
    void Dispose() override;
    // Moves padded rows into a private packed buffer; the host's rows are left as they are.
    void PackLines() override;

    void* HostPalette = nullptr; // the host's palette pointer as received, null once let go
    void* HostMap = nullptr;     // the host's pixels while the bitmap works in them, else null

protected:
    // Lets go of a borrowed block without releasing it (a New of another shape or format
    // leaves the host's memory this way); frees the bitmap's own blocks.
    void ReleaseBlock(uint8_t* block) noexcept override;
    bool Borrowed(const uint8_t* block) const noexcept override;
};

} // namespace vt
