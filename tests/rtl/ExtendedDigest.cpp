// One fixed stream of extended-precision operations, reduced to a digest of every result's ten
// bytes: the native build computes them on the x87, the WebAssembly build in software
// (TSoftExtended compiled by another compiler for another machine), and the web suite holds
// the two digests equal. The operands reach the whole range and the engine's own shapes: sums
// of products of samples and weights that land on or near rounding halves.
//
//   extended_digest [COUNT]   prints the digest of COUNT rounds (default 1000000)
#include "rtl/Extended.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using vt::Extended;

namespace {

struct TDigest {
    uint64_t Hash = 14695981039346656037ull;
    void Add(Extended x) {
        unsigned char bytes[sizeof(Extended)];
        std::memcpy(bytes, &x, sizeof bytes);
        for (int i = 0; i < 10; ++i) // the 80-bit value; what follows is padding
            Hash = (Hash ^ bytes[i]) * 1099511628211ull;
    }
    void Add(double x) {
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        for (int i = 0; i < 8; ++i)
            Hash = (Hash ^ ((bits >> (8 * i)) & 0xFF)) * 1099511628211ull;
    }
};

// xorshift64*: the same numbers on every build.
struct TRandom {
    uint64_t State = 0x9E3779B97F4A7C15ull;
    uint64_t Next() {
        State ^= State >> 12;
        State ^= State << 25;
        State ^= State >> 27;
        return State * 2685821657736338717ull;
    }
    // A double of any sign and magnitude between 2^-Range and 2^Range.
    double Wide(int range) {
        const uint64_t r = Next();
        const int exponent = static_cast<int>(r % static_cast<uint64_t>(2 * range + 1)) - range;
        const double mantissa = 1 + static_cast<double>(Next() >> 11) * 0x1p-53;
        return ((r >> 63) != 0 ? -1 : 1) * std::ldexp(mantissa, exponent);
    }
};

} // namespace

int main(int argc, char** argv) {
    const long rounds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
    vt::TFloatEnvironmentGuard environment;
    TRandom random;
    TDigest digest;
    for (long i = 0; i < rounds; ++i) {
        // Full 64-bit significands, so that every operation has to round.
        const Extended a = static_cast<Extended>(random.Next()) * random.Wide(60);
        const Extended b = static_cast<Extended>(random.Next() | 1) * random.Wide(60);
        const double c = random.Wide(300);
        digest.Add(a + b);
        digest.Add(a - b);
        digest.Add(a * b);
        digest.Add(a / b);
        digest.Add(vt::Sqrt(vt::Fabs(a)));
        digest.Add(static_cast<double>(a * c));
        digest.Add(static_cast<Extended>(c) / 3);
        // The engine's sum: three samples by three weights and a constant, in working order.
        const double w[4] = {random.Wide(3), random.Wide(3), random.Wide(3), random.Wide(9)};
        Extended sum = static_cast<Extended>(random.Next() & 0xFF) * w[0];
        sum += static_cast<Extended>(random.Next() & 0xFF) * w[1];
        sum += static_cast<Extended>(random.Next() & 0xFF) * w[2];
        sum += w[3];
        digest.Add(sum);
        digest.Add(vt::RoundHalfEven(sum));
        // Halves: an integer plus one half, and a hair either side of it.
        const Extended half = static_cast<Extended>(random.Next() % 1000) + 0.5L;
        digest.Add(vt::RoundHalfEven(half));
        digest.Add(vt::RoundHalfEven(half + 0x1p-60L));
        digest.Add(vt::RoundHalfEven(half - 0x1p-60L));
    }
    std::printf("%016llx\n", static_cast<unsigned long long>(digest.Hash));
    return 0;
}
