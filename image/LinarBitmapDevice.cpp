// Conversion between linear bitmaps and the runtime's device bitmaps.
#include "image/LinarBitmapDevice.h"

#include "image/LinarBitmap.h"

namespace vt::detail {

bool AssignFromDevice(TLinearBitmap&, TObject*) { return false; }
bool AssignToDevice(TLinearBitmap&, TObject*) { return false; }

} // namespace vt::detail
