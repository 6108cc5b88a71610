// Private to math/: checked arithmetic in Extended. The library never unmasks floating-point
// traps, so the faults an x87 would raise are detected from operands and results instead.
#pragma once

#include "rtl/Extended.h"
#include "rtl/SysUtils.h"

#include <cmath>

namespace vt::detail {

inline Extended CheckedMul(Extended a, Extended b) {
    const Extended r = a * b;
    if (IsNaN(r) && !IsNaN(a) && !IsNaN(b))
        throw EInvalidOp();
    return r;
}

inline Extended CheckedAdd(Extended a, Extended b) {
    const Extended r = a + b;
    if (IsNaN(r) && !IsNaN(a) && !IsNaN(b))
        throw EInvalidOp();
    return r;
}

inline Extended CheckedSub(Extended a, Extended b) {
    const Extended r = a - b;
    if (IsNaN(r) && !IsNaN(a) && !IsNaN(b))
        throw EInvalidOp();
    return r;
}

inline Extended CheckedDiv(Extended a, Extended b) {
    if (b == 0 && a == 0)
        throw EInvalidOp();
    if (b == 0 && !IsNaN(a))
        throw EZeroDivide();
    const Extended r = a / b;
    if (IsNaN(r) && !IsNaN(a) && !IsNaN(b))
        throw EInvalidOp();
    return r;
}

// Rounds to the double that is stored; a finite value beyond the double range overflows.
inline double CheckedStore(Extended x) {
    const double d = static_cast<double>(x);
    if (std::isinf(d) && IsFinite(x))
        throw EOverflow();
    return d;
}

} // namespace vt::detail
