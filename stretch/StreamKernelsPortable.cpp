// The stream kernels in portable form: four doubles to a vector, whatever the processor.
#include "stretch/StreamKernels.h"

#include <utility>

// Wider vectors than the baseline has are split by the compiler; none crosses a call.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace vt::detail::portable {

#define VT_STREAM_LANES 4
#include "stretch/StreamKernelBodies.inc"
#undef VT_STREAM_LANES

} // namespace vt::detail::portable
