// Images of any band count, sample type and layout for the engine's tests, and correlated
// random contents for them.
#pragma once

#include "stretch/StretchEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace vt::test {

// An image in memory of its own, its samples reachable through a view of any layout.
struct TTestImage {
    int64_t W, H;
    int N;
    TSampleType Type;
    std::vector<uint8_t> Bytes;
    TImageView View;

    // Layout 0: interleaved, packed; 1: interleaved with padded rows; 2: planar; 3: bottom-up
    // rows (negative row stride); 4: packed, bands in reverse (negative band stride).
    TTestImage(int64_t w, int64_t h, int n, TSampleType type, int layout)
        : W(w), H(h), N(n), Type(type) {
        const auto size = static_cast<int64_t>(SampleBytes(type));
        const int64_t row = w * n * size + (layout == 1 ? 7 : 0);
        Bytes.assign(static_cast<size_t>(row * h + 8), 0xA5);
        if (layout == 2) {
            View = TImageView::Planar(Bytes.data(), w, h, n, type);
        } else {
            View = TImageView::Interleaved(Bytes.data(), w, h, n, type, row);
            if (layout == 3) {
                View.Data = Bytes.data() + row * (h - 1);
                View.RowStride = -row;
            }
            if (layout == 4) {
                View.Data = Bytes.data() + (n - 1) * size;
                View.BandStride = -size;
            }
        }
    }
    double Get(int64_t x, int64_t y, int b) const {
        const uint8_t* p = View.At(x, y, b);
        switch (Type) {
        case TSampleType::UInt8:
            return *p;
        case TSampleType::UInt16:
            return Read<uint16_t>(p);
        case TSampleType::Float32:
            return Read<float>(p);
        case TSampleType::Int8:
            return Read<int8_t>(p);
        case TSampleType::Int16:
            return Read<int16_t>(p);
        case TSampleType::Int32:
            return Read<int32_t>(p);
        case TSampleType::UInt32:
            return Read<uint32_t>(p);
        case TSampleType::Float64:
            return Read<double>(p);
        }
        return 0;
    }
    // Stores v as the type holds it (a value it holds exactly, for integer types).
    void Set(int64_t x, int64_t y, int b, double v) {
        uint8_t* p = View.At(x, y, b);
        switch (Type) {
        case TSampleType::UInt8:
            *p = static_cast<uint8_t>(v);
            return;
        case TSampleType::UInt16:
            return Write(p, static_cast<uint16_t>(v));
        case TSampleType::Float32:
            return Write(p, static_cast<float>(v));
        case TSampleType::Int8:
            return Write(p, static_cast<int8_t>(v));
        case TSampleType::Int16:
            return Write(p, static_cast<int16_t>(v));
        case TSampleType::Int32:
            return Write(p, static_cast<int32_t>(v));
        case TSampleType::UInt32:
            return Write(p, static_cast<uint32_t>(v));
        case TSampleType::Float64:
            return Write(p, v);
        }
    }

private:
    template <class T> static double Read(const uint8_t* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return static_cast<double>(v);
    }
    template <class T> static void Write(uint8_t* p, T v) { std::memcpy(p, &v, sizeof v); }
};

// Rows Y .. Y + Rows - 1 of a view.
inline TImageView Strip(const TImageView& v, int64_t y, int64_t rows) {
    TImageView s = v;
    s.Data = v.At(0, y, 0);
    s.Height = rows;
    return s;
}

// Correlated random samples: a random mixture of N sources spread over most of the range.
inline void FillCorrelated(TTestImage& img, std::mt19937& random) {
    std::normal_distribution<double> g(0, 1);
    const double top = SampleTop(img.Type), mid = top / 2;
    std::vector<double> mix(static_cast<size_t>(img.N * img.N));
    for (double& m : mix)
        m = g(random);
    for (int64_t y = 0; y < img.H; ++y)
        for (int64_t x = 0; x < img.W; ++x) {
            std::vector<double> src(static_cast<size_t>(img.N));
            for (double& s : src)
                s = g(random);
            for (int b = 0; b < img.N; ++b) {
                double v = 0;
                for (int j = 0; j < img.N; ++j)
                    v += mix[static_cast<size_t>(b * img.N + j)] * src[static_cast<size_t>(j)];
                v = std::clamp(mid + v * top / 8, 0.0, top);
                img.Set(x, y, b, img.Type == TSampleType::Float32 ? v : std::floor(v));
            }
        }
}

// Mean, sample deviation (divided by N - 1, as the target method defines it) and correlations of
// the bands over the W x H pixels from X0, Y0 (W, H -1: to the edge), in long double.
struct TMoments {
    TVector<long double> Mean, Sigma;
    TRowMatrix<long double> Corr;
};
inline TMoments MomentsOf(const TTestImage& img, int64_t x0 = 0, int64_t y0 = 0, int64_t w = -1,
                          int64_t h = -1) {
    if (w < 0)
        w = img.W - x0;
    if (h < 0)
        h = img.H - y0;
    TMoments m;
    const auto n = static_cast<size_t>(img.N);
    m.Mean.assign(n, 0.0L);
    m.Sigma.assign(n, 0.0L);
    m.Corr = TRowMatrix<long double>(img.N, img.N, 0.0L);
    const auto count = static_cast<long double>(w * h);
    TRowMatrix<long double> cov(img.N, img.N, 0.0L);
    for (int64_t y = y0; y < y0 + h; ++y)
        for (int64_t x = x0; x < x0 + w; ++x)
            for (int b = 0; b < img.N; ++b)
                m.Mean[b] += img.Get(x, y, b) / count;
    for (int64_t y = y0; y < y0 + h; ++y)
        for (int64_t x = x0; x < x0 + w; ++x)
            for (int a = 0; a < img.N; ++a)
                for (int b = 0; b < img.N; ++b)
                    cov[a][b] += (img.Get(x, y, a) - m.Mean[a]) * (img.Get(x, y, b) - m.Mean[b]) /
                                 (count - 1);
    for (int a = 0; a < img.N; ++a) {
        m.Sigma[a] = std::sqrt(cov[a][a]);
        for (int b = 0; b < img.N; ++b)
            m.Corr[a][b] = cov[a][b] / std::sqrt(cov[a][a] * cov[b][b]);
    }
    return m;
}

} // namespace vt::test
