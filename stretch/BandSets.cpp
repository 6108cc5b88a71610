// Per-band option values and sets of bands, of any band count.
#include "stretch/StretchEngine.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace vt {

double& TBandValues::At(size_t Band) {
    if (Band >= Values.size())
        Values.resize(Band + 1, NAN);
    return Values[Band];
}

void TBandValues::Fill(size_t Count, double Value) {
    Values.assign(Count, Value);
}

bool TBandValues::operator==(const TBandValues& Other) const noexcept {
    const size_t n = std::max(Size(), Other.Size());
    for (size_t b = 0; b < n; ++b) {
        const double x = (*this)[b], y = Other[b];
        if (!(x == y || (std::isnan(x) && std::isnan(y))))
            return false;
    }
    return true;
}

TBandSet::TBandSet(uint64_t Mask) {
    if (Mask != 0)
        Words.push_back(Mask);
}

void TBandSet::Add(int Band) {
    if (Band < 0)
        return;
    const auto word = static_cast<size_t>(Band) / 64;
    if (word >= Words.size())
        Words.resize(word + 1, 0);
    Words[word] |= uint64_t{1} << (Band % 64);
}

bool TBandSet::Has(int Band) const noexcept {
    const auto word = static_cast<size_t>(Band) / 64;
    return Band >= 0 && word < Words.size() && (Words[word] >> (Band % 64) & 1) != 0;
}

bool TBandSet::Empty() const noexcept {
    return Words.empty();
}

int TBandSet::CountBelow(int Bands) const noexcept {
    int count = 0;
    for (size_t w = 0; w < Words.size() && static_cast<int>(w * 64) < Bands; ++w) {
        const int left = Bands - static_cast<int>(w * 64);
        const uint64_t mask = left >= 64 ? ~uint64_t{0} : (uint64_t{1} << left) - 1;
        count += std::popcount(Words[w] & mask);
    }
    return count;
}

int TBandSet::Highest() const noexcept {
    if (Words.empty())
        return -1;
    return static_cast<int>(Words.size() * 64) - 1 - std::countl_zero(Words.back());
}

bool TBandSet::operator==(const TBandSet& Other) const noexcept {
    return Words == Other.Words;
}

} // namespace vt
