// The stretch benchmark: on photograph-like images of about 1, 12 and 48 megapixels and on the
// bundled sample photograph, it measures in one run
//   (a) ProcessImage through the built Linux module, as a host calls it;
//   (b) the literal stretch (vt::reference), every step as defined, the exactness oracle;
//   (c) the NumPy decorrelation stretch a scientist would write (bench/numpy_stretch.py);
//   (d) the bandwidth bound: one read pass over the image plus one read-modify-write pass;
// and prints megapixels per second, the ratios, the peak extra memory of (a) and whether (a)
// gave the bytes of (b).
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
    bool exact = true;
    for (const TRow& r : rows)
        exact = exact && r.Exact;
    return exact ? 0 : 1;
}
