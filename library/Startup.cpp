// The ordered list of module initialisations. Each module guards itself with a counter, so
// this path may be requested more than once.
#include "library/Startup.h"

#include "expr/ExpressionEval.h"
#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"

namespace vt {

void LibraryStartup() {
    LinarBitmapStartup();
    ExpressionEvalStartup();
    MatrixMathStartup();
}

void LibraryShutdown() noexcept {
    MatrixMathShutdown();
    ExpressionEvalShutdown();
    LinarBitmapShutdown();
}

} // namespace vt
