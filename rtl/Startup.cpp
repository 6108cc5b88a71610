// The ordered list of module initialisations. Each module guards itself with a counter, so
// this path may be requested more than once.
#include "rtl/Startup.h"

#include "image/LinarBitmap.h"

namespace vt {

void LibraryStartup() {
    LinarBitmapStartup();
}

void LibraryShutdown() noexcept {
    LinarBitmapShutdown();
}

} // namespace vt
