// The ordered list of module initialisations. Each module guards itself with a counter, so
// this path may be requested more than once.
#include "rtl/Startup.h"

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"

namespace vt {

void LibraryStartup() {
    LinarBitmapStartup();
    MatrixMathStartup();
}

void LibraryShutdown() noexcept {
    MatrixMathShutdown();
    LinarBitmapShutdown();
}

} // namespace vt
