// Images of the golden table.
#include "GoldenImages.h"

#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace vt::test {

namespace {

// A small deterministic generator, the same on every platform and compiler.
struct TLcg {
    uint32_t State;
    uint32_t Next() {
        State = State * 1664525u + 1013904223u;
        return State >> 8;
    }
    uint8_t Byte() { return static_cast<uint8_t>(Next() & 0xFF); }
};

TGoldenImage Make(const std::string& name, int32_t w, int32_t h) {
    TGoldenImage image;
    image.Name = name;
    image.Width = w;
    image.Height = h;
    image.Bgr.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
    return image;
}

uint8_t Clamp(int v) {
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

} // namespace

uint64_t Fnv1a64(const uint8_t* data, size_t size) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) {
        hash ^= data[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

TGoldenImage ReadPpm(const std::string& path, const std::string& name) {
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    int w = 0, h = 0, maxValue = 0;
    in >> magic >> w >> h >> maxValue;
    in.get();
    if (!in || magic != "P6" || maxValue != 255 || w < 1 || h < 1)
        throw std::runtime_error("cannot read " + path);
    TGoldenImage image = Make(name, w, h);
    in.read(reinterpret_cast<char*>(image.Bgr.data()),
            static_cast<std::streamsize>(image.Bgr.size()));
    if (!in)
        throw std::runtime_error("short file " + path);
    for (size_t i = 0; i < image.Bgr.size(); i += 3)
        std::swap(image.Bgr[i], image.Bgr[i + 2]);
    return image;
}

TGoldenImage PhotoLike(const std::string& name, int32_t width, int32_t height, uint32_t seed) {
    TGoldenImage image = Make(name, width, height);
    TLcg random{seed};
    // Three overlapping soft blobs of colour on a tinted gradient, a hard edge and noise, in
    // coordinates relative to the size: correlated channels, as in photographs, and the same
    // picture at every size. Only exact IEEE operations, so every build makes the same pixels.
    const double cx[3] = {0.3, 0.7, 0.5}, cy[3] = {0.4, 0.3, 0.8};
    const int tint[3][3] = {{70, 30, -30}, {-20, 50, 60}, {40, 40, 20}};
    for (int32_t y = 0; y < height; ++y) {
        const double v = (y + 0.5) / height;
        for (int32_t x = 0; x < width; ++x) {
            const double u = (x + 0.5) / width;
            double c[3] = {60 + 80 * u, 70 + 60 * v, 50 + 40 * (u + v)};
            for (int b = 0; b < 3; ++b) {
                const double dx = (u - cx[b]) / 0.25, dy = (v - cy[b]) / 0.25;
                const double weight = 1.0 / (1.0 + dx * dx + dy * dy);
                for (int k = 0; k < 3; ++k)
                    c[k] += weight * tint[b][k];
            }
            if (u > 0.75 && v < 1.0 / 3)
                c[0] += 30, c[1] += 25, c[2] += 20;
            uint8_t* p = &image.Bgr[(static_cast<size_t>(y) * static_cast<size_t>(width) +
                                     static_cast<size_t>(x)) *
                                    3];
            const int noise = static_cast<int>(random.Next() % 9) - 4;
            for (int k = 0; k < 3; ++k)
                p[k] = Clamp(static_cast<int>(std::lround(c[k])) + noise);
        }
    }
    return image;
}

std::vector<TGoldenImage> SyntheticImages() {
    std::vector<TGoldenImage> images;

    TGoldenImage random = Make("random", 97, 61);
    TLcg lcg{12345};
    for (uint8_t& v : random.Bgr)
        v = lcg.Byte();
    images.push_back(random);

    TGoldenImage gradient = Make("gradient", 128, 72);
    for (int32_t y = 0; y < 72; ++y)
        for (int32_t x = 0; x < 128; ++x) {
            uint8_t* p = &gradient.Bgr[static_cast<size_t>(y * 128 + x) * 3];
            p[0] = static_cast<uint8_t>(x * 2);
            p[1] = static_cast<uint8_t>(y * 3);
            p[2] = static_cast<uint8_t>((x + y) / 2 + 30);
        }
    images.push_back(gradient);

    TGoldenImage corners = Make("cube-corners", 8, 1);
    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 3; ++k)
            corners.Bgr[static_cast<size_t>(3 * i + k)] = (i >> k & 1) ? 255 : 0;
    images.push_back(corners);

    TGoldenImage worked = Make("worked-example", 4, 1);
    worked.Bgr = {10, 50, 90, 60, 80, 40, 200, 150, 100, 30, 220, 170};
    images.push_back(worked);

    TGoldenImage single = Make("single-pixel", 1, 1);
    single.Bgr = {12, 200, 99};
    images.push_back(single);

    TGoldenImage uniform = Make("uniform", 16, 16);
    for (size_t i = 0; i < uniform.Bgr.size(); i += 3)
        uniform.Bgr[i] = 70, uniform.Bgr[i + 1] = 80, uniform.Bgr[i + 2] = 90;
    images.push_back(uniform);

    TGoldenImage grey = Make("grey-ramp", 64, 4);
    for (size_t i = 0; i < grey.Bgr.size(); i += 3)
        grey.Bgr[i] = grey.Bgr[i + 1] = grey.Bgr[i + 2] =
            static_cast<uint8_t>(40 + (i / 3) % 64 * 2);
    images.push_back(grey);

    TGoldenImage constant = Make("constant-green", 33, 9);
    TLcg lcg2{777};
    for (size_t i = 0; i < constant.Bgr.size(); i += 3) {
        constant.Bgr[i] = static_cast<uint8_t>(100 + lcg2.Next() % 80);
        constant.Bgr[i + 1] = 128;
        constant.Bgr[i + 2] = static_cast<uint8_t>(constant.Bgr[i] / 2 + lcg2.Next() % 60);
    }
    images.push_back(constant);

    TGoldenImage two = Make("two-colours", 10, 10);
    for (size_t i = 0; i < two.Bgr.size(); i += 3) {
        const bool left = (i / 3) % 10 < 5;
        two.Bgr[i] = left ? 20 : 200;
        two.Bgr[i + 1] = left ? 180 : 40;
        two.Bgr[i + 2] = left ? 90 : 91;
    }
    images.push_back(two);

    TGoldenImage dim = Make("low-contrast", 50, 40);
    TLcg lcg3{4242};
    for (size_t i = 0; i < dim.Bgr.size(); i += 3) {
        const uint8_t base = static_cast<uint8_t>(10 + lcg3.Next() % 11);
        dim.Bgr[i] = base;
        dim.Bgr[i + 1] = static_cast<uint8_t>(base + lcg3.Next() % 3);
        dim.Bgr[i + 2] = static_cast<uint8_t>(base + 5);
    }
    images.push_back(dim);

    images.push_back(PhotoLike("photo-like", 203, 151, 99));
    return images;
}

std::map<std::string, std::string> LoadGoldenTable(const std::string& path) {
    std::map<std::string, std::string> table;
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string name, size, mode, hash;
        fields >> name >> size >> mode >> hash;
        table[name + " " + mode] = size + " " + hash;
    }
    return table;
}

std::vector<TGoldenImage> GoldenImages(const std::string& dataDir) {
    std::vector<TGoldenImage> images = {ReadPpm(dataDir + "/rocket.ppm", "rocket"),
                                        ReadPpm(dataDir + "/chelsea.ppm", "chelsea")};
    for (TGoldenImage& image : SyntheticImages())
        images.push_back(std::move(image));
    return images;
}

} // namespace vt::test
