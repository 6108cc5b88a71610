// The images of the golden table: the bundled photographs (decoded once into tests/data) and
// synthetic images chosen to reach every branch of the stretch, from ordinary to degenerate.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vt::test {

// Packed rows of blue, green, red bytes.
struct TGoldenImage {
    std::string Name;
    int32_t Width = 0;
    int32_t Height = 0;
    std::vector<uint8_t> Bgr;
};

// Reads a binary PPM (P6, 8-bit) into blue, green, red order; throws std::runtime_error.
TGoldenImage ReadPpm(const std::string& path, const std::string& name);

// Every synthetic image of the table, generated the same way on every build.
std::vector<TGoldenImage> SyntheticImages();

// A photograph-like image: smooth colour fields, edges and fine noise, from a seed.
TGoldenImage PhotoLike(const std::string& name, int32_t width, int32_t height, uint32_t seed);

// FNV-1a, 64 bits: the hash of the golden table.
uint64_t Fnv1a64(const uint8_t* data, size_t size);

// The golden table (tests/data/golden.txt): "name mode" -> "WxH hash".
std::map<std::string, std::string> LoadGoldenTable(const std::string& path);

// The bundled photographs and every synthetic image, in the table's order.
std::vector<TGoldenImage> GoldenImages(const std::string& dataDir);

} // namespace vt::test
