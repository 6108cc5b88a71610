// Private to image/: the branches of the linear bitmap's copy protocol that exchange images
// with the runtime's device bitmaps and graphics.
#pragma once

namespace vt {
class TObject;
class TLinearBitmap;
} // namespace vt

namespace vt::detail {

// Fills Bitmap from a device bitmap, graphic or other persistent source; false when Source
// is none of these.
bool AssignFromDevice(TLinearBitmap& bitmap, TObject* source);
// Writes Bitmap into a device bitmap; false when Dest is not one.
bool AssignToDevice(TLinearBitmap& bitmap, TObject* dest);

} // namespace vt::detail
