// veltrane on an image larger than this machine's memory: writes a TIFF of about 4 gigapixels
// (65536 x 65536, three 8-bit bands, 12 GiB) strip by strip with libtiff, has the built
// program stretch it through the engine in strips, and prints the time and the peak memory of
// the program (its maximum resident set). Not part of the tests: it needs about 26 GiB of disk.
//
//   host_stream_bench [--size W H] [--dir DIR] [--keep]
#include <tiffio.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Photograph-like colour fields with noise, row by row, so that the writer holds one row.
bool WriteImage(const std::string& path, uint32_t width, uint32_t height) {
    TIFF* tif = TIFFOpen(path.c_str(), "w8");
    if (tif == nullptr)
        return false;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    std::vector<uint8_t> row(static_cast<size_t>(width) * 3);
    uint32_t state = 12345;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            state = state * 1664525u + 1013904223u;
            const int noise = static_cast<int>(state >> 27) - 16;
            const int fx = static_cast<int>((x >> 8) & 255), fy = static_cast<int>((y >> 8) & 255);
            uint8_t* p = &row[static_cast<size_t>(x) * 3];
            p[0] = static_cast<uint8_t>(std::clamp(40 + fx / 2 + noise, 0, 255));
            p[1] = static_cast<uint8_t>(std::clamp(60 + fx / 4 + fy / 3 + noise, 0, 255));
            p[2] = static_cast<uint8_t>(std::clamp(90 + (fx ^ fy) / 4 - noise, 0, 255));
        }
        if (TIFFWriteScanline(tif, row.data(), y, 0) < 0) {
            TIFFClose(tif);
            return false;
        }
    }
    TIFFClose(tif);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    uint32_t width = 65536, height = 65536;
    std::string dir = std::filesystem::temp_directory_path().string();
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size" && i + 2 < argc) {
            width = static_cast<uint32_t>(std::atol(argv[++i]));
            height = static_cast<uint32_t>(std::atol(argv[++i]));
        } else if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: host_stream_bench [--size W H] [--dir DIR] [--keep]\n");
            return 2;
        }
    }
    const std::string in = dir + "/veltrane-bench-in.tif", out = dir + "/veltrane-bench-out.tif";
    const double pixels = static_cast<double>(width) * height;
    std::printf("image: %u x %u, %.2f gigapixels, %.1f GiB of 8-bit RGB\n", width, height,
                pixels / 1e9, pixels * 3 / (1 << 30));

    auto started = std::chrono::steady_clock::now();
    if (!WriteImage(in, width, height)) {
        std::fprintf(stderr, "cannot write %s\n", in.c_str());
        return 2;
    }
    std::printf("written in %.0f s\n", Seconds(started));
    std::fflush(stdout);

    // The engine path (--threads 0: the processor's threads), as a child whose peak resident
    // set the kernel reports.
    started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        execl(VT_HOST_PATH, VT_HOST_PATH, "stretch", in.c_str(), out.c_str(), "--offset",
              "--threads", "0", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    const double seconds = Seconds(started);
    std::printf("veltrane stretch: exit %d, %.0f s (%.0f megapixels per second over three "
                "passes), peak memory %.0f MiB\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, seconds, pixels / 1e6 / seconds,
                static_cast<double>(usage.ru_maxrss) / 1024);
    if (!keep) {
        std::filesystem::remove(in);
        std::filesystem::remove(out);
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
