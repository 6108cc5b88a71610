// The stretch command that ProcessImage runs: the host protocol, the user's question and the
// principal-component stretch of the host's image in place.
#pragma once

#include "plugin/VeltranePlugin.h"

namespace vt {

// The callback that RegisterPlugin stored; null until the host registers.
extern THostCallback HostCallback;

inline constexpr const char* SSelect24BitImage = "Select a 24 bit image first.";
inline constexpr const char* SAllowOffset = "Allow offset components?";

// Runs command CommandId on Image once the owner window is known. Returns VT_PROCESSED when
// the image was processed, VT_NOT_DONE when nothing was done; raises on a refused image
// (the host's pixels are then untouched).
int32_t RunStretchCommand(int32_t CommandId, const THostImage* Image, int32_t Owner);

} // namespace vt
