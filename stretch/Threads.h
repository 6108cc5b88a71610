// Private to stretch/: the runs of pixels a pass walks (segments), how a pass is cut into
// parts, and how the parts run on threads. The setting that bounds the threads is
// vt::SetStretchThreads (stretch/StretchTransform.h); the cut never changes a result.
#pragma once

#include "rtl/Extended.h"

#include <algorithm>
#include <cstdint>
#include <thread>

namespace vt::detail {

// Count runs of Length pixels, Stride bytes apart, the first at First: the rows of a rectangle,
// or one long run when packed rows follow each other without a gap. Row and Offset tell where
// the first run starts in the image (for a mask or a second image), Step how many image
// pixels one selected pixel advances, along rows and between them.
struct TSegments {
    uint8_t* First = nullptr;
    int64_t Count = 0;
    int64_t Length = 0;
    int64_t Stride = 0;
    int64_t PixelStride = 0;
    int64_t Row = 0, Offset = 0, Step = 1;
};

inline constexpr int MaxParts = 16;

// How many parts a pass over the segments is cut into (the thread setting, the image's size).
int PartsFor(const TSegments& segments) noexcept;
// Part `part` of `parts`: whole runs, or a piece of the one long run.
TSegments PartOf(const TSegments& segments, int part, int parts) noexcept;

// Runs Work(part) for every part on up to Threads threads (at most MaxParts): the calling
// thread and helpers that compute in the library's floating-point environment, thread t doing
// parts t, t + Threads, ... A helper that cannot be started leaves its parts to the calling
// thread. Work must not throw.
template <class TWork> void RunParts(int parts, int threads, const TWork& work) {
    threads = std::max(1, std::min({threads, parts, MaxParts}));
    const auto share = [&](int t) {
        for (int part = t; part < parts; part += threads)
            work(part);
    };
    std::thread helpers[MaxParts];
    for (int t = 1; t < threads; ++t) {
        try {
            helpers[t] = std::thread([&share, t] {
                TFloatEnvironmentGuard environment;
                share(t);
            });
        } catch (...) { // no thread to be had: the share is done below
        }
    }
    share(0);
    for (int t = 1; t < threads; ++t) {
        if (helpers[t].joinable())
            helpers[t].join();
        else
            share(t);
    }
}
template <class TWork> void RunParts(int parts, const TWork& work) {
    RunParts(parts, parts, work);
}

// Parts that depend on the image alone, never on the threads: passes whose partial results
// are not exact (compensated float sums) combine them in this fixed order.
int FixedPartsFor(const TSegments& segments) noexcept;

} // namespace vt::detail
