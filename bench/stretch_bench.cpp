// The stretch benchmark: on photograph-like images of about 1, 12 and 48 megapixels and on the
// bundled sample photograph, it measures in one run
//   (a) ProcessImage through the built Linux module, as a host calls it;
//   (b) the literal stretch (vt::reference), every step as defined, the exactness oracle;
//   (c) the NumPy decorrelation stretch a scientist would write (bench/numpy_stretch.py);
//   (d) the bandwidth bound: one read pass over the image plus one read-modify-write pass;
// and prints megapixels per second, the ratios, the peak extra memory of (a) and whether (a)
// gave the bytes of (b). A last row stretches a hyperspectral cube (224 bands of int16, as an
// AVIRIS scene) with the engine against the same recipe in NumPy (bench/numpy_hyperspectral.py).
#include "../tests/plugin/GoldenImages.h"
#include "StretchReference.h"

#include "library/Startup.h"
#include "platform/Process.h"
#include "platform/Win32.h"
#include "plugin/VeltranePlugin.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchTransform.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using vt::test::TGoldenImage;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& work, const std::function<void()>& prepare,
               int repeats) {
    double best = 1e300;
    for (int i = 0; i < repeats; ++i) {
        prepare();
        const auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

// Peak resident memory since the last reset, and the reset, from /proc.
long StatusKb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return -1;
}
void ResetPeak() {
    std::ofstream("/proc/self/clear_refs") << "5";
}

int32_t VT_STDCALL HostCallback(int32_t code, void* data) {
    if (code == VT_CALLBACK_GET_OWNER_WINDOW)
        *static_cast<int32_t*>(data) = 0;
    return 0;
}
int AnswerYes(void*, HWND, LPCSTR, LPCSTR, UINT) {
    return IDYES;
}

// The least any stretch must move: read every byte once, then read and write every byte once.
uint64_t ReadPass(const uint8_t* p, size_t n) {
    uint64_t a = 0, b = 0, c = 0, d = 0;
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        uint64_t w[4];
        std::memcpy(w, p + i, 32);
        a += w[0];
        b += w[1];
        c += w[2];
        d += w[3];
    }
    for (; i < n; ++i)
        a += p[i];
    return a + b + c + d;
}
void RmwPass(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(p[i] ^ 0x5A);
}

unsigned ProcessorThreads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

struct TRow {
    std::string Name;
    double Megapixels, Module, Threaded, Literal, NumPy, Bound;
    long ExtraKb;
    bool Exact;
};

double NumPySeconds(const TGoldenImage& image, int repeats) {
    const std::string raw = "/tmp/veltrane-bench-" + std::to_string(image.Width) + ".raw";
    {
        std::ofstream out(raw, std::ios::binary);
        std::vector<uint8_t> rgb(image.Bgr);
        for (size_t i = 0; i < rgb.size(); i += 3)
            std::swap(rgb[i], rgb[i + 2]);
        out.write(reinterpret_cast<const char*>(rgb.data()),
                  static_cast<std::streamsize>(rgb.size()));
    }
    const std::string command = "/usr/bin/python3 " + std::string(VT_BENCH_DIR) +
                                "/numpy_stretch.py " + raw + " " + std::to_string(image.Width) +
                                " " + std::to_string(image.Height) + " " + std::to_string(repeats);
    std::string output;
    double seconds = -1;
    if (vt::platform::RunCommand(command, &output) == 0)
        seconds = std::atof(output.c_str());
    std::remove(raw.c_str());
    return seconds;
}

TRow Measure(const TGoldenImage& image, TProcessImageFunc process, int repeats, bool literal) {
    TRow row{image.Name, image.Width * double(image.Height) / 1e6, 0, 0, 0, 0, 0, 0, true};
    const size_t bytes = image.Bgr.size();
    std::vector<uint8_t> host(bytes);
    auto restore = [&] { std::memcpy(host.data(), image.Bgr.data(), bytes); };

    // (a) the module, as a host calls it: always on the host's thread; peak memory measured on
    // the last run. (a') the library's same passes with one thread per processor thread.
    THostImage record{image.Width, image.Height, image.Width * 3, 3, host.data(), nullptr};
    row.Module = Seconds([&] { process(1, &record); }, restore, repeats);
    {
        vt::TLinearBitmap bitmap;
        bitmap.New(image.Width, image.Height, vt::pf24bit);
        // The bitmap's blue-first pixels in colour order, as the plug-in hands them over.
        vt::TImageView view = vt::TImageView::Interleaved(
            bitmap.Map, image.Width, image.Height, 3, vt::TSampleType::UInt8, bitmap.BytesPerLine);
        view.Data = static_cast<uint8_t*>(view.Data) + 2;
        view.BandStride = -1;
        vt::TRunOptions run;
        run.Threads = static_cast<int>(ProcessorThreads());
        vt::TFitOptions options; // the plug-in's offset stretch
        row.Threaded = Seconds(
            [&] {
                vt::ApplyStretch(vt::FitStretch(view, {}, options, run), view, view, nullptr, run);
            },
            [&] { std::memcpy(bitmap.Map, image.Bgr.data(), bytes); }, repeats);
    }
    restore();
    const long before = StatusKb("VmRSS:");
    ResetPeak();
    process(1, &record);
    row.ExtraKb = StatusKb("VmHWM:") - before;

    // (b) the literal stretch, on a bitmap of its own; its bytes must equal (a)'s.
    if (literal) {
        vt::TLinearBitmap bitmap;
        bitmap.New(image.Width, image.Height, vt::pf24bit);
        row.Literal = Seconds(
            [&] {
                vt::TAffineTransform t;
                vt::reference::StretchTransform(bitmap, true, t);
                vt::reference::TransformBitmap(bitmap, t, nullptr);
            },
            [&] { std::memcpy(bitmap.Map, image.Bgr.data(), bytes); }, 1);
        row.Exact = std::memcmp(bitmap.Map, host.data(), bytes) == 0;
    }

    // (c) NumPy, in a process of its own on the same pixels.
    row.NumPy = NumPySeconds(image, repeats);

    // (d) the bandwidth bound.
    volatile uint64_t sink = 0;
    row.Bound = Seconds(
        [&] {
            sink = sink + ReadPass(host.data(), bytes);
            RmwPass(host.data(), bytes);
        },
        [] {}, repeats);
    return row;
}

// A cube of Bands bands of int16 over Width x Height pixels: a few smooth spectra mixed at
// random with noise, as a spectrometer sees a scene.
std::vector<int16_t> Cube(int64_t width, int64_t height, int bands) {
    std::vector<int16_t> cube(static_cast<size_t>(width * height * bands));
    uint64_t state = 12345;
    const auto next = [&] {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1p-53;
    };
    const int sources = 8;
    std::vector<double> spectra(static_cast<size_t>(sources * bands));
    for (int k = 0; k < sources; ++k)
        for (int b = 0; b < bands; ++b)
            spectra[static_cast<size_t>(k * bands + b)] =
                std::sin(0.03 * b * (k + 1) + k) * (1 + 0.5 * next());
    for (int64_t p = 0; p < width * height; ++p) {
        double weight[sources];
        for (double& w : weight)
            w = next();
        for (int b = 0; b < bands; ++b) {
            double v = 300 * (next() - 0.5);
            for (int k = 0; k < sources; ++k)
                v += 3000 * weight[k] * spectra[static_cast<size_t>(k * bands + b)];
            cube[static_cast<size_t>(p * bands + b)] = static_cast<int16_t>(std::lround(v));
        }
    }
    return cube;
}

// The hyperspectral row: the engine's offset stretch of a cube (fit and application, on one
// thread and on every processor thread) against the NumPy recipe on the same samples.
void Hyperspectral(int64_t width, int64_t height, int bands, int repeats) {
    const std::vector<int16_t> cube = Cube(width, height, bands);
    std::vector<int16_t> out(cube.size());
    const vt::TImageView in = vt::TImageView::Interleaved(const_cast<int16_t*>(cube.data()), width,
                                                          height, bands, vt::TSampleType::Int16);
    const vt::TImageView to =
        vt::TImageView::Interleaved(out.data(), width, height, bands, vt::TSampleType::Int16);
    const auto engine = [&](int threads) {
        vt::TRunOptions run;
        run.Threads = threads;
        return Seconds(
            [&] { vt::ApplyStretch(vt::FitStretch(in, {}, {}, run), in, to, nullptr, run); }, [] {},
            repeats);
    };
    const double one = engine(1), all = engine(static_cast<int>(ProcessorThreads()));
    const std::string raw = "/tmp/veltrane-bench-cube.raw";
    {
        std::ofstream file(raw, std::ios::binary);
        file.write(reinterpret_cast<const char*>(cube.data()),
                   static_cast<std::streamsize>(cube.size() * sizeof(int16_t)));
    }
    const std::string command = "/usr/bin/python3 " + std::string(VT_BENCH_DIR) +
                                "/numpy_hyperspectral.py " + raw + " " + std::to_string(width) +
                                " " + std::to_string(height) + " " + std::to_string(bands) + " " +
                                std::to_string(repeats);
    std::string output;
    const double numpy =
        vt::platform::RunCommand(command, &output) == 0 ? std::atof(output.c_str()) : -1;
    // One cv2.gemm of the cube by a band matrix (bench/peer_stretch.py), the least an OpenCV
    // user pays for the application alone.
    const std::string gemmCommand = "/usr/bin/python3 " + std::string(VT_BENCH_DIR) +
                                    "/peer_stretch.py " + raw + " " + std::to_string(width) + " " +
                                    std::to_string(height) + " " + std::to_string(bands) +
                                    " int16 " + std::to_string(repeats) + " cvtransform";
    output.clear();
    const double gemm =
        vt::platform::RunCommand(gemmCommand, &output) == 0 ? std::atof(output.c_str()) : -1;
    std::remove(raw.c_str());
    // The bound: one read of the cube and one write of the output.
    volatile uint64_t sink = 0;
    const double bound = Seconds(
        [&] {
            uint64_t sum = 0;
            for (const int16_t v : cube)
                sum += static_cast<uint16_t>(v);
            std::memset(out.data(), static_cast<int>(sum & 1), out.size() * sizeof(int16_t));
            sink = sink + sum;
        },
        [] {}, repeats);
    std::printf("\n%-22s | %10s %10s %10s %10s %10s | %9s %9s %9s %9s\n", "cube", "engine s",
                "threads s", "NumPy s", "cv2.gemm s", "bound s", "NumPy/1", "NumPy/all", "gemm/all",
                "all/bound");
    std::printf("%4lldx%-4lld %3d x int16 | %10.3f %10.3f %10.3f %10.3f %10.3f | %8.2fx %8.2fx "
                "%8.2fx %8.2fx\n",
                static_cast<long long>(width), static_cast<long long>(height), bands, one, all,
                numpy, gemm, bound, numpy > 0 ? numpy / one : 0.0, numpy > 0 ? numpy / all : 0.0,
                gemm > 0 ? gemm / all : 0.0, all / bound);
    std::printf("\nNumPy/1, NumPy/all: how many times longer the NumPy recipe takes than the "
                "engine's fit and application on one thread and on %u; gemm/all: one cv2.gemm "
                "pass against the engine's whole stretch; all/bound: the engine against one read "
                "and one write.\n",
                ProcessorThreads());
}

} // namespace

int main(int argc, char** argv) {
    // --quick: the small images only, for a smoke run.
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    vt::TLibraryScope library;
    HMODULE module = LoadLibraryA(VT_PLUGIN_PATH);
    if (module == nullptr) {
        std::fprintf(stderr, "cannot load %s\n", VT_PLUGIN_PATH);
        return 2;
    }
    auto registerPlugin = reinterpret_cast<TRegisterPluginFunc>(
        reinterpret_cast<void*>(GetProcAddress(module, "RegisterPlugin")));
    auto process = reinterpret_cast<TProcessImageFunc>(
        reinterpret_cast<void*>(GetProcAddress(module, "ProcessImage")));
    registerPlugin(HostCallback);
    VtSetMessageBoxHandler(AnswerYes, nullptr);

    std::vector<TRow> rows;
    std::printf("measuring (offset mode; best of several runs) ...\n");
    std::fflush(stdout);
    rows.push_back(
        Measure(vt::test::ReadPpm(VT_DATA_DIR "/rocket.ppm", "rocket.jpg"), process, 7, true));
    rows.push_back(Measure(vt::test::PhotoLike("photo 1 MP", 1224, 816, 1), process, 7, true));
    if (!quick) {
        rows.push_back(
            Measure(vt::test::PhotoLike("photo 12 MP", 4240, 2832, 2), process, 5, true));
        rows.push_back(
            Measure(vt::test::PhotoLike("photo 48 MP", 8480, 5664, 3), process, 3, true));
    }

    std::printf("\n%-12s %6s | %8s %8s %8s %8s | %6s %6s %6s | %9s %5s | %8s %6s\n", "image", "MP",
                "(a) MP/s", "(b) MP/s", "(c) MP/s", "(d) MP/s", "a/b", "a/c", "a vs d", "extra mem",
                "exact", "(a') MP/s", "a' vs d");
    for (const TRow& r : rows) {
        const double a = r.Megapixels / r.Module, b = r.Megapixels / r.Literal;
        const double c = r.NumPy > 0 ? r.Megapixels / r.NumPy : 0, d = r.Megapixels / r.Bound;
        const double threaded = r.Megapixels / r.Threaded;
        std::printf("%-12s %6.2f | %8.1f %8.1f %8.1f %8.1f | %5.1fx %5.1fx %5.2fx | %6ld kB %5s | "
                    "%9.1f %6.2fx\n",
                    r.Name.c_str(), r.Megapixels, a, b, c, d, a / b, c > 0 ? a / c : 0, d / a,
                    r.ExtraKb, r.Exact ? "yes" : "NO", threaded, d / threaded);
    }
    std::printf("\n(a) single-threaded; a/b, a/c: how many times faster it is than the literal "
                "stretch and NumPy;\na vs d: how many times slower it is than one read pass plus "
                "one read-modify-write pass.\n(a') the library's stretch with %u threads "
                "the same bytes; a' vs d likewise.\n",
                ProcessorThreads());
    FreeLibrary(module);
    if (quick)
        Hyperspectral(128, 128, 224, 2);
    else
        Hyperspectral(512, 512, 224, 2);
    bool exact = true;
    for (const TRow& r : rows)
        exact = exact && r.Exact;
    return exact ? 0 : 1;
}
