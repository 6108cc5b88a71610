// The stretch command.
#include "plugin/StretchCommand.h"

#include "platform/Win32.h"
#include "plugin/PluginLinearBitmap.h"
#include "stretch/StretchTransform.h"

#include <cstring>

namespace vt {

THostCallback HostCallback = nullptr;

namespace {
HWND OwnerWindow(int32_t owner) {
    return reinterpret_cast<HWND>(static_cast<intptr_t>(owner));
}

} // namespace

int32_t RunStretchCommand(int32_t CommandId, const THostImage* Image, int32_t Owner) {
    if (CommandId != 1)
        return VT_NOT_DONE;
    if (Image == nullptr)
        throw ELinearBitmap(SInvalidBitmapSize);
    if (Image->PixelSize != 3) {
        MessageBoxA(OwnerWindow(Owner), SSelect24BitImage, "Information",
                    MB_OK | MB_ICONINFORMATION);
        return VT_NOT_DONE;
    }
    const int answer = MessageBoxA(OwnerWindow(Owner), SAllowOffset, "Confirmation",
                                   MB_YESNOCANCEL | MB_ICONQUESTION);
    if (answer != IDYES && answer != IDNO)
        return VT_NOT_DONE;
    const bool allowOffset = answer == IDYES;

    TPluginLinearBitmap bitmap(Image);
    bitmap.PackLines();
    TAffineTransform transform;
    StretchTransform(bitmap, allowOffset, transform);
    TransformBitmap(bitmap, transform, nullptr);
    // Padded host rows were processed in a private packed copy: the pixels go back into the
    // host's rows, and the padding bytes between them stay as the host left them.
    if (bitmap.Map != Image->Map) {
        const size_t line = static_cast<size_t>(bitmap.BytesPerLine);
        auto* host = static_cast<uint8_t*>(Image->Map);
        for (int32_t y = 0; y < bitmap.Height; ++y)
            std::memcpy(host + static_cast<intptr_t>(y) * Image->BytesPerLine, bitmap.ScanLine(y),
                        line);
    }
    return VT_PROCESSED;
}

} // namespace vt
