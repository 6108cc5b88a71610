// Private to stretch/: the runs of pixels a pass walks (segments), how a pass is cut into
// parts, and how the parts run on threads. Each public call of the engine sets its own run
// (TRunOptions: threads, progress) for the passes it makes; the cut never changes a result.
#pragma once

#include "rtl/Extended.h"
#include "stretch/StretchEngine.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

namespace vt::detail {

// The run of the public call under way on this thread: its thread count, and its progress
// callback with the share of the call the passes that follow cover. Scopes nest; a call made
// inside another engine call runs under the outer one's scope.
class TRunScope {
public:
    explicit TRunScope(const TRunOptions& run) noexcept;
    ~TRunScope();
    TRunScope(const TRunScope&) = delete;
    TRunScope& operator=(const TRunScope&) = delete;

    // The scope of this thread's call, or null outside any.
    static TRunScope* Current() noexcept;
    // The passes that follow cover the call's share From .. From + Span.
    void Section(double from, double span) noexcept {
        From = from;
        Span = span;
    }
    // Tells the callback the call has come Share of the way through the current section;
    // a callback that answers false (or throws) stops the call.
    void Report(double share) noexcept;
    bool Stopped() const noexcept { return Stop.load(std::memory_order_relaxed); }
    // Raises ECancelled (or what the callback threw) once the call has stopped.
    void ThrowIfStopped() const;

    int Threads = 1;

private:
    const TRunOptions* Run;
    TRunScope* Outer;
    double From = 0, Span = 1;
    std::atomic<bool> Stop{false};
    std::exception_ptr Failure;
};

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

// How many parts a pass over the segments is cut into (the call's threads, the image's size).
int PartsFor(const TSegments& segments) noexcept;
// Part `part` of `parts`: whole runs, or a piece of the one long run.
TSegments PartOf(const TSegments& segments, int part, int parts) noexcept;

// Runs Work(part) for every part on up to Threads threads (at most MaxParts): the calling
// thread and helpers that compute in the library's floating-point environment, thread t doing
// parts t, t + Threads, ... A helper that cannot be started leaves its parts to the calling
// thread. Work must not throw. The calling thread reports the call's progress after each of
// its parts; once the call is cancelled no part starts, and the stop is raised after the last
// running part has ended.
template <class TWork> void RunParts(int parts, int threads, const TWork& work) {
    threads = std::max(1, std::min({threads, parts, MaxParts}));
    TRunScope* run = TRunScope::Current();
    std::atomic<int> done{0};
    const auto share = [&](int t) {
        for (int part = t; part < parts; part += threads) {
            if (run != nullptr && run->Stopped())
                return;
            work(part);
            const int finished = done.fetch_add(1) + 1;
            if (run != nullptr && t == 0)
                run->Report(static_cast<double>(finished) / parts);
        }
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
    if (run != nullptr) {
        run->Report(1);
        run->ThrowIfStopped();
    }
}
template <class TWork> void RunParts(int parts, const TWork& work) {
    RunParts(parts, parts, work);
}

// Parts that depend on the image alone, never on the threads: passes whose partial results
// are not exact (compensated float sums) combine them in this fixed order.
int FixedPartsFor(const TSegments& segments) noexcept;

} // namespace vt::detail
