// Raw block allocation for the containers: failures raise EOutOfMemory, and tests can make
// any allocation fail.
#pragma once

#include <cstddef>

namespace vt {

// Allocates a block of Size bytes (contents unspecified). Raises EOutOfMemory when the block
// cannot be had or the failure hook refuses it. A size of 0 gives a valid unique block.
void* GetMem(size_t size);

// Releases a block from GetMem; null is ignored.
void FreeMem(void* block) noexcept;

// Number of GetMem blocks not yet released, for leak checks in tests.
long AllocatedBlocks() noexcept;

// Test hook: asked before every GetMem; returning true makes that allocation fail.
using TAllocFailHook = bool (*)(size_t size);
void SetAllocFailHook(TAllocFailHook hook) noexcept;

} // namespace vt
