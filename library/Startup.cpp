// The ordered list of module initialisations. Each module guards itself with a counter, so
// this path may be requested more than once.
#include "library/Startup.h"

#include "image/LinarBitmap.h"
#include "math/MatrixMath.h"

#if defined(VT_WITH_EXPRESSIONS)
#include "expr/ExpressionEval.h"
#endif

namespace vt {

void LibraryStartup() {
    LinarBitmapStartup();
#if defined(VT_WITH_EXPRESSIONS)
    ExpressionEvalStartup();
#endif
    MatrixMathStartup();
}

void LibraryShutdown() noexcept {
    MatrixMathShutdown();
#if defined(VT_WITH_EXPRESSIONS)
    ExpressionEvalShutdown();
#endif
    LinarBitmapShutdown();
}

} // namespace vt
