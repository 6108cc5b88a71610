// The stretch command.
#include "plugin/StretchCommand.h"

#include "platform/Win32.h"
#include "plugin/PluginLinearBitmap.h"

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
    (void)allowOffset;

    TPluginLinearBitmap bitmap(Image);
    bitmap.PackLines();
    // The stretch itself is not available yet: the image is wrapped and released untouched.
    return VT_NOT_DONE;
}

} // namespace vt
