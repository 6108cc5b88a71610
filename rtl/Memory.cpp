// Block allocation with failure injection for tests.
#include "rtl/Memory.h"

#include "rtl/SysUtils.h"

#include <atomic>
#include <cstdlib>

namespace vt {

namespace {
std::atomic<long> LiveBlocks{0};
std::atomic<TAllocFailHook> FailHook{nullptr};
} // namespace

void* GetMem(size_t size) {
    const TAllocFailHook hook = FailHook.load(std::memory_order_relaxed);
    if (hook != nullptr && hook(size))
        throw EOutOfMemory();
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr)
        throw EOutOfMemory();
    LiveBlocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void FreeMem(void* block) noexcept {
    if (block == nullptr)
        return;
    LiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

long AllocatedBlocks() noexcept {
    return LiveBlocks.load(std::memory_order_relaxed);
}

void SetAllocFailHook(TAllocFailHook hook) noexcept {
    FailHook.store(hook);
}

} // namespace vt
