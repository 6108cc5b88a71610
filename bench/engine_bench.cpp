// The stretch engine on 12-megapixel images of each sample type and of three and eight bands,
// against the NumPy and OpenCV recipes of the same offset stretch on the same pixels, one
// cv2.transform pass, the literal stretch (8-bit, three bands) and the bandwidth bound.
#include "../tests/plugin/GoldenImages.h"
#include "StretchReference.h"

#include "library/Startup.h"
#include "platform/Process.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchTransform.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

using vt::TImageView;
using vt::TSampleType;

double Seconds(const std::function<void()>& work, const std::function<void()>& reset, int repeats) {
    double best = 1e30;
    for (int i = 0; i < repeats; ++i) {
        reset();
        const auto start = std::chrono::steady_clock::now();
        work();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    return best;
}

// One read pass and one read-modify-write pass: the least any stretch must move.
double BoundSeconds(std::vector<uint8_t>& bytes, int repeats) {
    volatile uint64_t sink = 0;
    return Seconds(
        [&] {
            uint64_t s = 0;
            const size_t words = bytes.size() / 8;
            auto* w = reinterpret_cast<uint64_t*>(bytes.data());
            for (size_t i = 0; i < words; ++i)
                s += w[i];
            for (size_t i = 0; i < words; ++i)
                w[i] ^= 1;
            sink = sink + s;
        },
        [] {}, repeats);
}

template <class T> void PutAs(uint8_t* q, double v) {
    const auto s = static_cast<T>(v);
    std::memcpy(q, &s, sizeof s);
}

void Put(uint8_t* q, TSampleType type, double v) {
    switch (type) {
    case TSampleType::Int8:
        return PutAs<int8_t>(q, v);
    case TSampleType::Int16:
        return PutAs<int16_t>(q, v);
    case TSampleType::Int32:
        return PutAs<int32_t>(q, v);
    case TSampleType::UInt32:
        return PutAs<uint32_t>(q, v);
    case TSampleType::Float64:
        return PutAs<double>(q, v);
    default:
        return;
    }
}

// The photograph-like 8-bit picture spread over every band and type: bands beyond the third
// mix the first three, so they correlate as the bands of a scene do.
std::vector<uint8_t> MakeImage(const vt::test::TGoldenImage& photo, int bands, TSampleType type) {
    const size_t pixels = photo.Bgr.size() / 3, size = vt::SampleBytes(type);
    std::vector<uint8_t> out(pixels * size_t(bands) * size);
    std::mt19937 random(5);
    for (size_t i = 0; i < pixels; ++i)
        for (int b = 0; b < bands; ++b) {
            const uint8_t* p = &photo.Bgr[3 * i];
            const double v =
                b < 3 ? p[b]
                      : (p[0] * (b % 3 + 1) + p[1] * (b % 2 + 1) + p[2]) / (b % 3 + b % 2 + 3.0);
            uint8_t* q = &out[(i * size_t(bands) + size_t(b)) * size];
            if (type == TSampleType::UInt8) {
                *q = static_cast<uint8_t>(v);
            } else if (type == TSampleType::UInt16) {
                const auto s = static_cast<uint16_t>(v * 257 + static_cast<double>(random() % 200));
                std::memcpy(q, &s, 2);
            } else if (type == TSampleType::Float32) {
                const auto f =
                    static_cast<float>((v + static_cast<double>(random() % 1000) / 1000.0) / 256.0);
                std::memcpy(q, &f, 4);
            } else {
                // The other types: the value over the type's range, with noise below 8 bits.
                const double unit = (v + static_cast<double>(random() % 1000) / 1000.0) / 256.0;
                const double bottom = vt::SampleBottom(type), top = vt::SampleTop(type);
                Put(q, type,
                    vt::IsFloatSample(type) ? unit : std::floor(bottom + unit * (top - bottom)));
            }
        }
    return out;
}

double PeerSeconds(const std::string& raw, const vt::test::TGoldenImage& photo, int bands,
                   TSampleType type, const char* recipe, int repeats) {
    const std::string command = "/usr/bin/python3 " + std::string(VT_BENCH_DIR) +
                                "/peer_stretch.py " + raw + " " + std::to_string(photo.Width) +
                                " " + std::to_string(photo.Height) + " " + std::to_string(bands) +
                                " " + vt::SampleTypeName(type) + " " + std::to_string(repeats) +
                                " " + recipe + " 2>/dev/null";
    std::string output;
    if (vt::platform::RunCommand(command, &output) != 0)
        return -1;
    return std::atof(output.c_str());
}

} // namespace

// The lab space (a per-pixel conversion to L*a*b* and back around the fitted map) against the
// affine YCbCr space folded into the map, on the same pixels: fit and application in place,
// on one thread and on all, and the ratio of their times.
void LabAgainstYCbCr(const vt::test::TGoldenImage& photo, double mp, unsigned threads,
                     int repeats) {
    std::printf("\n%-14s | %8s %8s | %8s %8s | %7s %7s\n", "image", "lab MP/s", "lab'", "ycc MP/s",
                "ycc'", "lab/ycc", "lab'/ycc'");
    for (TSampleType type : {TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32}) {
        const std::vector<uint8_t> original = MakeImage(photo, 3, type);
        std::vector<uint8_t> pixels = original;
        const TImageView view =
            TImageView::Interleaved(pixels.data(), photo.Width, photo.Height, 3, type);
        auto restore = [&] { std::memcpy(pixels.data(), original.data(), original.size()); };
        double seconds[2][2]; // [lab, ycbcr][one thread, all]
        for (int space = 0; space < 2; ++space)
            for (int all = 0; all < 2; ++all) {
                vt::TFitOptions options;
                options.Space = space == 0 ? vt::TColourSpace::Lab : vt::TColourSpace::YCbCr;
                options.Keep = 1;
                vt::TRunOptions run;
                run.Threads = all != 0 ? static_cast<int>(threads) : 1;
                seconds[space][all] = Seconds(
                    [&] {
                        vt::ApplyStretch(vt::FitStretch(view, {}, options, run), view, view,
                                         nullptr, run);
                    },
                    restore, repeats);
            }
        const std::string name = std::string("3 x ") + vt::SampleTypeName(type);
        std::printf("%-14s | %8.1f %8.1f | %8.1f %8.1f | %6.2fx %8.2fx\n", name.c_str(),
                    mp / seconds[0][0], mp / seconds[0][1], mp / seconds[1][0], mp / seconds[1][1],
                    seconds[0][0] / seconds[1][0], seconds[0][1] / seconds[1][1]);
        std::fflush(stdout);
    }
    std::printf("\nlab, ycc: FitStretch and ApplyStretch in place with --space lab --keep 1 and "
                "--space ycbcr\n--keep 1, one thread ('  with %u); ratios: how many times the "
                "time of ycbcr lab takes.\n",
                threads);
}

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    // --lab: the lab space against ycbcr alone.
    const bool labOnly = argc > 1 && std::strcmp(argv[argc - 1], "--lab") == 0;
    vt::TLibraryScope library;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    const vt::test::TGoldenImage photo = quick ? vt::test::PhotoLike("photo 1 MP", 1224, 816, 1)
                                               : vt::test::PhotoLike("photo 12 MP", 4240, 2832, 2);
    const double mp = photo.Width * double(photo.Height) / 1e6;
    const int repeats = quick ? 3 : 3;
    std::printf("%s (%.2f MP), offset stretch, best of %d runs; engine (e) on 1 and %u threads\n",
                photo.Name.c_str(), mp, repeats, threads);
    if (labOnly) {
        LabAgainstYCbCr(photo, mp, threads, repeats);
        return 0;
    }
    std::printf("\n");
    std::printf("%-14s | %8s %8s | %8s %8s %8s %8s | %7s %7s %7s %7s %7s\n", "image", "e MP/s",
                "e' MP/s", "NumPy", "OpenCV", "cv2.tf", "bound", "e'/np", "e'/cv", "e'/tf", "bd/e'",
                "e/lit");
    const struct {
        int Bands;
        TSampleType Type;
    } cases[] = {{3, TSampleType::UInt8},   {3, TSampleType::UInt16},  {3, TSampleType::Int16},
                 {3, TSampleType::Float32}, {3, TSampleType::Float64}, {8, TSampleType::UInt8},
                 {8, TSampleType::UInt16},  {8, TSampleType::Int16},   {8, TSampleType::Float32}};
    for (const auto& c : cases) {
        const std::vector<uint8_t> original = MakeImage(photo, c.Bands, c.Type);
        std::vector<uint8_t> pixels = original;
        const TImageView view =
            TImageView::Interleaved(pixels.data(), photo.Width, photo.Height, c.Bands, c.Type);
        auto restore = [&] { std::memcpy(pixels.data(), original.data(), original.size()); };
        vt::TRunOptions run;
        auto stretch = [&] {
            vt::ApplyStretch(vt::FitStretch(view, {}, {}, run), view, view, nullptr, run);
        };
        const double single = Seconds(stretch, restore, repeats);
        run.Threads = static_cast<int>(threads);
        const double both = Seconds(stretch, restore, repeats);

        double literal = -1;
        if (c.Bands == 3 && c.Type == TSampleType::UInt8) {
            vt::TLinearBitmap bitmap;
            bitmap.New(photo.Width, photo.Height, vt::pf24bit);
            literal = Seconds(
                [&] {
                    vt::TAffineTransform t;
                    vt::reference::StretchTransform(bitmap, true, t);
                    vt::reference::TransformBitmap(bitmap, t, nullptr);
                },
                [&] { std::memcpy(bitmap.Map, original.data(), original.size()); }, 1);
        }

        // The peers' copy of the pixels, named by this process, so that runs side by side do
        // not read or remove each other's.
        const std::string raw = (std::filesystem::temp_directory_path() /
                                 ("veltrane-engine-bench-" + std::to_string(getpid()) + ".raw"))
                                    .string();
        std::ofstream(raw, std::ios::binary)
            .write(reinterpret_cast<const char*>(original.data()),
                   static_cast<std::streamsize>(original.size()));
        const double numpy = PeerSeconds(raw, photo, c.Bands, c.Type, "numpy", 1);
        const double opencv = PeerSeconds(raw, photo, c.Bands, c.Type, "opencv", repeats);
        const double transform = PeerSeconds(raw, photo, c.Bands, c.Type, "cvtransform", repeats);
        std::remove(raw.c_str());
        const double bound = BoundSeconds(pixels, repeats);

        auto rate = [&](double s) { return s > 0 ? mp / s : 0.0; };
        const std::string name = std::to_string(c.Bands) + " x " + vt::SampleTypeName(c.Type);
        std::printf("%-14s | %8.1f %8.1f | %8.1f %8.1f %8.1f %8.1f | %6.1fx %6.1fx %6.2fx %6.2fx "
                    "%6.1fx\n",
                    name.c_str(), rate(single), rate(both), rate(numpy), rate(opencv),
                    rate(transform), rate(bound), numpy > 0 ? numpy / both : 0,
                    opencv > 0 ? opencv / both : 0, transform > 0 ? transform / both : 0,
                    both / bound, literal > 0 ? literal / single : 0);
        std::fflush(stdout);
    }
    // The types without kernels of their own (their samples read into the stream of doubles,
    // their outputs rounded by the caller of the sums' kernel) against the type beside them.
    std::printf("\n%-14s | %8s | %-14s %8s | %7s\n", "image", "e MP/s", "against", "e MP/s",
                "ratio");
    const struct {
        TSampleType Type, Peer;
    } others[] = {{TSampleType::Int8, TSampleType::UInt8},
                  {TSampleType::Int16, TSampleType::UInt16},
                  {TSampleType::Int32, TSampleType::UInt16},
                  {TSampleType::UInt32, TSampleType::UInt16},
                  {TSampleType::Float64, TSampleType::Float32}};
    for (const auto& o : others) {
        double seconds[2];
        for (int k = 0; k < 2; ++k) {
            const TSampleType type = k == 0 ? o.Type : o.Peer;
            const std::vector<uint8_t> original = MakeImage(photo, 3, type);
            std::vector<uint8_t> pixels = original;
            const TImageView view =
                TImageView::Interleaved(pixels.data(), photo.Width, photo.Height, 3, type);
            vt::TFitOptions direct;
            direct.Pairing = vt::TBandPairing::Direct;
            seconds[k] = Seconds(
                [&] { vt::ApplyStretch(vt::FitStretch(view, {}, direct), view, view); },
                [&] { std::memcpy(pixels.data(), original.data(), original.size()); }, repeats);
        }
        const std::string name = std::string("3 x ") + vt::SampleTypeName(o.Type);
        const std::string peer = std::string("3 x ") + vt::SampleTypeName(o.Peer);
        std::printf("%-14s | %8.1f | %-14s %8.1f | %6.2fx\n", name.c_str(), mp / seconds[0],
                    peer.c_str(), mp / seconds[1], seconds[0] / seconds[1]);
        std::fflush(stdout);
    }

    std::printf("\ne: FitStretch and ApplyStretch in place, one thread; e': with %u threads.\n"
                "NumPy, OpenCV: the same offset stretch in bench/peer_stretch.py (OpenCV with "
                "its own threads);\ncv2.tf: one cv2.transform (cv2.gemm beyond four bands) pass "
                "alone. bound: one read and one\nread-modify-write pass. Ratios: how many times "
                "faster e' is; bd/e': how many times the bound\ne' takes; e/lit: e against the "
                "literal stretch (8-bit, three bands).\nBelow: one thread, direct pairing; "
                "ratio: how many times the time of the type beside it the type takes.\n",
                threads);
    LabAgainstYCbCr(photo, mp, threads, repeats);
    return 0;
}
