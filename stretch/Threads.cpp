// The cut of a pass into parts, and the run (threads, progress) of each call.
#include "stretch/Threads.h"

namespace vt::detail {

namespace {
thread_local TRunScope* CurrentRun = nullptr;
constexpr int64_t AutoPixelsPerPart = 256 * 1024;
constexpr int64_t LeastPixelsPerPart = 64;
} // namespace

TRunScope::TRunScope(const TRunOptions& run) noexcept : Run(&run), Outer(CurrentRun) {
    Threads = run.Threads < 0 ? 0 : run.Threads;
    if (Outer != nullptr) // a call inside a call runs as the outer one does
        return;
    CurrentRun = this;
}

TRunScope::~TRunScope() {
    if (CurrentRun == this)
        CurrentRun = Outer;
}

TRunScope* TRunScope::Current() noexcept {
    return CurrentRun;
}

void TRunScope::Report(double share) noexcept {
    if (!Run->Progress || Stopped())
        return;
    try {
        if (!Run->Progress(From + Span * std::clamp(share, 0.0, 1.0)))
            Stop.store(true);
    } catch (...) {
        Failure = std::current_exception();
        Stop.store(true);
    }
}

void TRunScope::ThrowIfStopped() const {
    if (!Stopped())
        return;
    if (Failure)
        std::rethrow_exception(Failure);
    throw ECancelled("cancelled");
}

int PartsFor(const TSegments& segments) noexcept {
    const int64_t pixels = segments.Count * segments.Length;
    int threads = CurrentRun != nullptr ? CurrentRun->Threads : 1;
    int64_t least = LeastPixelsPerPart;
    if (threads <= 0) {
        threads = static_cast<int>(std::min(std::thread::hardware_concurrency(), 8u));
        least = AutoPixelsPerPart;
    }
    int64_t parts = std::min<int64_t>(std::min(threads, MaxParts), pixels / least);
    if (segments.Count > 1)
        parts = std::min<int64_t>(parts, segments.Count);
    return static_cast<int>(std::max<int64_t>(parts, 1));
}

int FixedPartsFor(const TSegments& segments) noexcept {
    const int64_t pixels = segments.Count * segments.Length;
    int64_t parts = std::min<int64_t>(MaxParts, pixels / AutoPixelsPerPart);
    if (segments.Count > 1)
        parts = std::min<int64_t>(parts, segments.Count);
    return static_cast<int>(std::max<int64_t>(parts, 1));
}

TSegments PartOf(const TSegments& segments, int part, int parts) noexcept {
    const auto cut = [&](int64_t total, int i) { return total * i / parts; };
    TSegments p = segments;
    if (segments.Count == 1) {
        const int64_t from = cut(segments.Length, part);
        p.First = segments.First + from * segments.PixelStride;
        p.Length = cut(segments.Length, part + 1) - from;
        p.Offset = segments.Offset + from * segments.Step;
    } else {
        const int64_t from = cut(segments.Count, part);
        p.First = segments.First + from * segments.Stride;
        p.Count = cut(segments.Count, part + 1) - from;
        p.Row = segments.Row + from * segments.Step;
    }
    return p;
}

} // namespace vt::detail
