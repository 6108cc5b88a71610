// The stretch engine: decorrelation stretches of images of 1 to 1024 bands of 8-, 16- or 32-bit
// integer samples (signed or unsigned) or 32- or 64-bit floats, laid out in memory in any way
// that pixel, row and band strides describe.
// Statistics come from a selection of pixels and add up over a series of images; fitting
// turns them into an affine transform on the bands; application maps every pixel through it.
// The specified 8-bit three-band stretch of StretchTransform.h is this engine's special case.
#pragma once

#include "math/MatrixMath.h"
#include "rtl/Extended.h"
#include "rtl/SysUtils.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace vt {

namespace detail {
struct TBlockBoxes;
}

// Refusals of the engine: a view, a selection, an option or a file that does not fit, with a
// message that names the problem.
VT_EXCEPTION_CLASS(EStretch, Exception);
// A call stopped by its progress callback (TRunOptions::Progress).
VT_EXCEPTION_CLASS(ECancelled, Exception);

// How one call runs. Every function here that reads pixels takes one; nothing is process-wide,
// so calls on different threads never change each other's run.
struct TRunOptions {
    // 1 keeps every pass on the calling thread; 0 lets the library choose (the processor's
    // threads, at most 8, and only for images of a quarter megapixel a thread); n > 1 cuts
    // every image of at least 64 pixels a part into up to n parts. Results never depend on it:
    // integer sums are exact, float sums are added in an order the image alone decides,
    // extremes combine in image order and each pixel is mapped alone.
    int Threads = 1;
    // Told, on the calling thread, the share of the call done (0 to 1) as its parts end.
    // Answering false cancels the call: no further part starts, and the call raises ECancelled
    // (or what the callback threw) with its results discarded. An application cancelled in
    // place leaves the pixels of the parts that ended mapped and the others as they were.
    std::function<bool(double Done)> Progress;
};

// The most bands an image may have. Up to KernelBands (16) the passes run kernels unrolled
// for each count; beyond, a general path that takes blocks of pixels as small matrix products
// (see the statistics, the application and FitAxes below for what differs there).
inline constexpr int MaxBands = MaxAffineSize;
inline constexpr int KernelBands = 16;

// Per-band values of an option, such as the target method's means: band b reads as not a
// number until set, and setting it (o.TargetMean[b] = x) makes room for it.
class TBandValues {
public:
    template <class I>
    requires std::is_integral_v<I>
    double operator[](I Band) const noexcept {
        if constexpr (std::is_signed_v<I>)
            if (Band < 0)
                return NAN;
        const auto b = static_cast<size_t>(Band);
        return b < Values.size() ? Values[b] : NAN;
    }
    template <class I>
    requires std::is_integral_v<I>
    double& operator[](I Band) { return At(static_cast<size_t>(Band)); }
    // One more than the highest band set so far.
    size_t Size() const noexcept { return Values.size(); }
    // Bands 0..Count - 1 set to Value, the others unset.
    void Fill(size_t Count, double Value);
    // Equal where both read alike (not a number equal to not a number).
    bool operator==(const TBandValues& Other) const noexcept;

private:
    double& At(size_t Band);
    std::vector<double> Values;
};

// A set of bands (numbered from 0), of any size. Made from a bit mask it holds the bands of its
// set bits (bit i band i), which covers the first 64.
class TBandSet {
public:
    TBandSet() = default;
    TBandSet(uint64_t Mask); // NOLINT: a mask reads as the set it stands for
    void Add(int Band);
    bool Has(int Band) const noexcept;
    bool Empty() const noexcept;
    // The members below Bands, and the highest member (-1 when empty).
    int CountBelow(int Bands) const noexcept;
    int Highest() const noexcept;
    bool operator==(const TBandSet& Other) const noexcept;

private:
    std::vector<uint64_t> Words; // no zero word at the end
};

// The samples the engine takes. Integer types span their whole range (the offset stretch maps
// onto SampleBottom..SampleTop); floats are meant to lie in 0..1 and are stored as computed.
// The faces take: the command line, files of all eight; the Python module, NumPy arrays of all
// eight; the web page, 8-bit RGBA. The first three came first, and keep their values.
enum class TSampleType : uint8_t { UInt8, UInt16, Float32, Int8, Int16, Int32, UInt32, Float64 };

// Every type, in the order of the enumeration.
inline constexpr TSampleType SampleTypes[] = {
    TSampleType::UInt8, TSampleType::UInt16, TSampleType::Float32, TSampleType::Int8,
    TSampleType::Int16, TSampleType::Int32,  TSampleType::UInt32,  TSampleType::Float64};

size_t SampleBytes(TSampleType Type) noexcept;
// The top of the type's range, which offset stretches span: 255, 65535, 127, 32767,
// 2147483647, 4294967295, or 1 for floats.
double SampleTop(TSampleType Type) noexcept;
// The bottom of the type's range: -2^(bits-1) for signed integer types, 0 for the others.
double SampleBottom(TSampleType Type) noexcept;
// Whether the type holds floats (float32, float64), and whether it is a signed integer type.
bool IsFloatSample(TSampleType Type) noexcept;
bool IsSignedSample(TSampleType Type) noexcept;
// "uint8", "uint16", "float32", "int8", "int16", "int32", "uint32", "float64".
const char* SampleTypeName(TSampleType Type) noexcept;
// The sample of a type stored at P (native byte order, any alignment), as a double (exactly:
// every sample of every type is a double).
double SampleValue(const void* P, TSampleType Type) noexcept;
// The type of that name; raises EStretch for any other text.
TSampleType SampleTypeNamed(const std::string& Name);

// Pixels in memory that the engine reads or writes in place. Strides are in bytes and may be
// negative; an interleaved image has BandStride = sample size and PixelStride = Bands x that, a
// planar one PixelStride = sample size and BandStride = one plane.
struct TImageView {
    void* Data = nullptr; // first sample of band 0 of the top-left pixel
    int64_t Width = 0;    // pixels per row
    int64_t Height = 0;   // rows
    int Bands = 0;        // samples per pixel, 1..MaxBands (1024)
    TSampleType Type = TSampleType::UInt8;
    int64_t PixelStride = 0; // from one pixel to the next in a row
    int64_t RowStride = 0;   // from one row to the next
    int64_t BandStride = 0;  // from one band to the next within a pixel

    // Bands interleaved pixel by pixel; RowStride 0 means packed rows.
    static TImageView Interleaved(void* Data, int64_t Width, int64_t Height, int Bands,
                                  TSampleType Type, int64_t RowStride = 0) noexcept;
    // One packed plane per band, one after the other.
    static TImageView Planar(void* Data, int64_t Width, int64_t Height, int Bands,
                             TSampleType Type) noexcept;

    // Raises EStretch when the view cannot be read: no data, a band count outside 1..1024, a
    // negative size, or sizes whose byte offsets do not fit 64 bits.
    void Check() const;
    uint8_t* At(int64_t X, int64_t Y, int Band) const noexcept {
        return static_cast<uint8_t*>(Data) + X * PixelStride + Y * RowStride + Band * BandStride;
    }
};

// Which pixels the statistics come from (the stretch itself applies to every pixel).
struct TSelection {
    int64_t X = 0, Y = 0;             // the rectangle's top-left pixel
    int64_t Width = -1, Height = -1;  // -1: to the image's edge
    const TImageView* Mask = nullptr; // one-band 8-bit view of the image's size, or null:
                                      // only pixels where it is non-zero count
    int64_t Every = 1;                // every k-th pixel of the rectangle, both directions
    bool HasNoData = false;           // pixels whose bands all equal NoData never count
    double NoData = 0;                // (nor are they written by the application); compared
                                      // as the sample type holds it: float32 samples with
                                      // (float)NoData, so that 0.1 or -3.40282346638529e+38
                                      // find the stored floats; float64 and integer samples
                                      // with the value itself (negative for signed types)
};
// Pixels with a float sample that is not a finite number (not a number, or infinite) never
// count either, whatever the selection, and the application leaves them as they are.

// What a selection is, for messages: "sample X,Y,W,H, mask, every K, nodata V" as far as it
// differs from the whole image, or "the whole image".
std::string SelectionText(const TSelection& Selection);

// A sum that stays exact: 128-bit unsigned integers for integer samples.
struct TWideSum {
    uint64_t Low = 0, High = 0;

    void Add(uint64_t Value) noexcept {
        Low += Value;
        High += Low < Value;
    }
    void Add(const TWideSum& Other) noexcept {
        Low += Other.Low;
        High += Other.High + (Low < Other.Low);
    }
    Extended Value() const noexcept;
    std::string ToString() const;
    // Reads the decimal digits ToString writes; raises EStretch for anything else.
    static TWideSum Parse(const std::string& Text);
    bool operator==(const TWideSum&) const = default;
};

// A compensated sum of doubles (the float samples' sums): Value = High + Low exactly as the
// additions left them, with an error far below one unit of High.
struct TCompensatedSum {
    double High = 0, Low = 0;
    void Add(double Value) noexcept;
    void Add(const TCompensatedSum& Other) noexcept;
    Extended Value() const noexcept { return static_cast<Extended>(High) + Low; }
    bool operator==(const TCompensatedSum&) const = default;
};

// Per-band sums, cross-product sums and extremes over the selected pixels of one image or of a
// series (Add). Integer samples keep exact sums; float samples compensated ones.
//
// Integer sums are of the samples as the unsigned type of their width holds them, x less
// SampleBottom: a signed sample x counts as x + 2^(bits-1) (an int16 -32768 as 0, 32767 as
// 65535), so that every sum stays an exact unsigned integer. Covariances and correlations do
// not change under that shift and come from the sums as held; SumOf and ProductOf give the sums
// as held, and Mean adds SampleBottom back. The extremes are of the samples themselves.
// A 32-bit sample's products take 64 bits, and their sums over 2^40 pixels take 104 bits,
// well inside the 128 of TWideSum.
//
// Above KernelBands bands the pass reads blocks of pixels and forms their cross-product sums
// X'X as a matrix product in doubles. For 8- and 16-bit samples every such partial sum is a
// whole number below 2^53 (the pass moves it into the 128-bit sums before it could pass that),
// so the sums stay exact; 32-bit samples are split into two 16-bit halves, whose four products
// are summed the same way and recombined exactly in 128 bits. Float samples' partial sums of a
// block (a few hundred pixels, in scan order) are added into the compensated sums, so that the
// order of every addition depends on the image alone.
//
// The sums and extremes are held for the statistics' band count: the product sums of integer
// samples (Product) only for integer types, those of floats (RealProduct) only for floats.
class TStatistics {
public:
    int Bands = 0;
    TSampleType Type = TSampleType::UInt8;
    int64_t Count = 0;                       // selected pixels
    TVector<TWideSum> Sum;                   // integer samples, shifted to unsigned
    TRowMatrix<TWideSum> Product;            // [a][b], a <= b; integer types only
    TVector<TCompensatedSum> RealSum;        // float samples
    TRowMatrix<TCompensatedSum> RealProduct; // float types only
    TVector<double> Lowest; // per-band extremes of the samples (+inf / -inf when empty)
    TVector<double> Highest;

    TStatistics() noexcept;
    TStatistics(int Bands, TSampleType Type);

    // Whether the sums and extremes are held for Bands bands of Type (statistics assembled by
    // hand may not be): what every function taking statistics requires.
    bool Complete() const noexcept;
    // Pools another image's statistics into these; raises EStretch when the band counts or
    // sample types differ.
    void Add(const TStatistics& Other);
    // The sums as held (of shifted samples for signed integer types).
    Extended SumOf(int Band) const noexcept;
    Extended ProductOf(int A, int B) const noexcept;
    // Pearson correlation of two bands in extended precision, rounded to a double; 0 when
    // either band is constant or nothing was selected.
    double Correlation(int A, int B) const noexcept;
    // Population covariance Sab / N - ma mb (the variance when A = B), rounded to a double.
    double Covariance(int A, int B) const noexcept;
    // The mean of the samples themselves (the shift of signed types removed).
    double Mean(int Band) const noexcept;

    bool operator==(const TStatistics& Other) const;
};

// Measures the statistics of the selected pixels (none is no error: statistics of pieces pool,
// and the fit refuses an empty whole). Raises EStretch for a view or a selection that does not
// fit (a rectangle outside the image, a mask of another size or not one 8-bit band, Every
// below 1, a no-data value that is not a sample of the type, such as 1e39 for float32, -1 for
// uint16 or 0.5 for int32).
TStatistics MeasureStatistics(const TImageView& Image, const TSelection& Selection = {},
                              const TRunOptions& Run = {});

enum class TStretchMethod : uint8_t {
    Offset,    // each component moved and scaled so that the selected pixels span the range
    ScaleOnly, // each component scaled about 0 as far as the cube of all colours allows
    Target,    // b = T (a - m) + target mean, the bands decorrelated to target deviations
};
enum class TStretchBasis : uint8_t { Correlation, Covariance };
enum class TBandPairing : uint8_t {
    Plugin, // three bands: axes measured in storage order, weights applied in reverse order
    Direct, // axes measured and applied in one band order
};

// The space the statistics and the stretch are taken in (three bands): the bands as they are,
// the library's colour transforms with their constants scaled to the sample type, a map of the
// user's, or CIE L*a*b*.
//
// Every space but Lab is an affine map of the bands, folded into the fitted transform. Lab is
// not: each pixel is converted to L*a*b* before it is measured, and on application converted,
// mapped and converted back (see "The lab space" below). Its bands are numbered L*, a*, b*
// (TFitOptions::Keep bit 0, --keep 1, is the lightness).
enum class TColourSpace : uint8_t { None, Rgb, YCbCr, Yiq, Matrix, Lab };

struct TFitOptions {
    TStretchMethod Method = TStretchMethod::Offset;
    TStretchBasis Basis = TStretchBasis::Correlation;
    TBandPairing Pairing = TBandPairing::Plugin; // other band counts always pair directly
    // The target method's mean and standard deviation of each band after the stretch, in the
    // sample type's units (Lab: in L*, a*, b* units); not a number (the default) keeps the
    // band's own.
    TBandValues TargetMean;
    TBandValues TargetSigma;
    // The space, and for Matrix its map (Size 3, in the sample type's units). A space other
    // than None, or kept bands, pairs bands directly.
    TColourSpace Space = TColourSpace::None;
    TAffineMap SpaceMatrix;
    // Bands of the space that pass unchanged; the others are stretched among themselves.
    TBandSet Keep;
    // Saturation after the stretch: each output band mapped linearly so that more than the
    // fraction ClipLow of the selected pixels lies at or below its bottom, more than ClipHigh
    // at or above its top, then clamped (float outputs too, to 0..1).
    bool Clip = false;
    double ClipLow = 0, ClipHigh = 0;
};

// The pairing a fit with these options gives n bands: the plug-in's only for the plain
// offset and scale-only stretches of three bands that ask for it.
TBandPairing PairingFor(const TFitOptions& Options, int Bands) noexcept;
// Whether the engine reads n bands last to first: the plug-in's pairing of three bands
// measures a view's pixels, handed over in colour order (red, green, blue), as the plug-in
// measures its blue-green-red ones. Every function here takes views in their own band order
// and applies this itself; statistics, axes and transforms number bands in the order read
// (their "working" numbering, which transform files record).
inline bool ReadsBandsReversed(TBandPairing Pairing, int Bands) noexcept {
    return Bands == 3 && Pairing == TBandPairing::Plugin;
}
// Statistics of three bands renumbered last to first (others as they are): the statistics of
// the reversed view, exactly.
TStatistics ReversedStatistics(const TStatistics& S);

// "none", "rgb", "ycbcr", "yiq", "matrix", "lab", and back (EStretch for other names).
const char* ColourSpaceName(TColourSpace Space) noexcept;
TColourSpace ColourSpaceNamed(const std::string& Name);
// The map S(x) = A x + c of a space for samples of a type (None and Rgb: the identity on
// Bands bands). Raises EStretch when the space does not fit the bands or the matrix is not
// invertible, and for Lab, which no affine map gives.
TAffineMap ColourSpaceMap(const TFitOptions& Options, int Bands, TSampleType Type);

// An affine map on the bands of a pixel. Sums are formed in working order: working input j is
// band Order[j], and row r of Map (its weights, then its constant) gives band Order[r].
struct TBandTransform {
    int Bands = 0;
    TSampleType Type = TSampleType::UInt8; // the samples it was fitted to
    TVector<int> Order;                    // Bands entries
    TAffineMap Map;
    TFitOptions Options;
    TStatistics Statistics; // what it was fitted to (Count 0 for a transform made by hand)
    // The no-data value of the selection it was fitted to (FitStretch sets it, rounded to the
    // sample type; transform files record it): pixels whose bands all equal it took no part
    // in the fit, and an application meant to give the fit's result leaves them alone too
    // (pass NoDataOf(T) to ApplyStretch).
    bool HasNoData = false;
    double NoData = 0;
    // Lab only: the saturation (Options.Clip) of each output band, which the other spaces
    // fold into Map: after the conversion back to RGB, band b's sample x (in the sample
    // type's units) becomes LabGain[b] x + LabLift[b] before it is clamped and rounded.
    double LabGain[3] = {1, 1, 1};
    double LabLift[3] = {0, 0, 0};

    // The identity on Bands bands in storage order.
    static TBandTransform Identity(int Bands, TSampleType Type);
    // The weight of input band In in output band Out, and Out's constant, bands numbered in
    // the order of the views it applies to (red first for the plug-in pairing of RGB).
    double Weight(int Out, int In) const noexcept;
    double Constant(int Out) const noexcept;
    // Statistics numbered as the views it applies to number their bands.
    TStatistics ViewStatistics() const;
};

// The principal axes of the statistics: Bands component rows in working order, with the
// constant terms of the offset method; the input of MeasureComponentRanges and BuildStretch.
struct TPrincipalAxes {
    int Bands = 0;
    TSampleType Type = TSampleType::UInt8;
    TVector<int> Order; // Bands entries
    TAffineMap Map;
    TVector<double> Fraction; // each eigenvalue's share of their sum
    TFitOptions Options;
    TStatistics Statistics;
};

// Each component's extremes over the selected pixels (+inf / -inf when none); ranges of
// several images pool with Add.
struct TComponentRanges {
    int Bands = 0;
    TVector<double> Lowest; // Bands entries
    TVector<double> Highest;
    TComponentRanges() noexcept;
    explicit TComponentRanges(int Bands);
    void Add(const TComponentRanges& Other);
};

// The axes of the statistics (measured in the view's band order) by the eigen-decomposition of
// their correlation or covariance matrix: the cyclic Jacobi method up to KernelBands bands,
// Householder tridiagonalisation and the implicit QL method beyond (SymmetricEigen.h). Raises
// EStretch for empty statistics and what the decomposition raises.
TPrincipalAxes FitAxes(const TStatistics& Statistics, const TFitOptions& Options = {});
// The components' extremes over the selected pixels of an image with the axes' band count.
TComponentRanges MeasureComponentRanges(const TImageView& Image, const TSelection& Selection,
                                        const TPrincipalAxes& Axes, const TRunOptions& Run = {});
// The stretch from the axes and the components' ranges: scale (and translation) of each
// component, composed with the inverse rotation. Raises EStretch when the ranges saw no pixel.
TBandTransform BuildStretch(const TPrincipalAxes& Axes, const TComponentRanges& Ranges);
// The target method from statistics alone (it needs no range pass). With m the means and C the
// sample covariance (divided by N - 1) of the selected pixels, Sigma their deviations and
// V Lambda V' the basis matrix,
//     T = Sigma_target V Lambda^(-1/2) V' Sigma^(-1)   (correlation basis)
//     T = Sigma_target V Lambda^(-1/2) V'              (covariance basis)
// then each row r rescaled by sigma_target_r / sqrt((T C T')_rr), so that every output band has
// exactly its target deviation over the selection; b = T (a - m) + m_target, bands paired
// directly. Bands constant over the selection and components without variance (an eigenvalue
// of at most 1e-12 of the largest: copies of a band, a grey selection in the covariance basis)
// pass with gain 1, their mean moved to the target. Raises EStretch for statistics of no pixel.
TBandTransform FitTarget(const TStatistics& Statistics, const TFitOptions& Options);
// Saturation of a fitted transform's outputs (see TFitOptions::Clip): the limits are order
// statistics of each band's stored outputs over the selected pixels, counted exactly: every
// level of an 8- or 16-bit integer type in one pass; the others by keys in the order of their
// values (a float's ordered bits, a 32-bit integer less its type's bottom), 16 bits of them a
// pass: the first counts the top 16 bits, and each later pass the next 16 of the keys that
// share the bits found so far with a limit (two passes for float32, int32 and uint32, four for
// float64). Measure the selected pixels of each image of a series while NeedsPass is true,
// calling FinishPass after each pass over the series; then Clipped gives T followed by the
// linear map of each band (or raises EStretch "no pixels selected" when nothing was counted).
class TClipHistogram {
public:
    // Raises EStretch unless 0 <= Low, 0 <= High and Low + High < 1.
    TClipHistogram(const TBandTransform& T, double Low, double High);
    // The passes the saturation of a type's outputs takes (1, 2 or 4).
    static int PassesFor(TSampleType Type) noexcept;
    bool NeedsPass() const noexcept { return Pass < Passes; }
    void Measure(const TImageView& Image, const TSelection& Selection = {},
                 const TRunOptions& Run = {});
    void FinishPass();
    TBandTransform Clipped() const;

    // Counting in pieces (parts of a series measured apart, in other threads or processes):
    // Empty is a copy in the same pass with nothing counted in it, which measures one piece;
    // Merge adds such a copy's counts into these. Counts add up whatever the pieces, so the
    // merged histogram finishes its pass exactly as one that measured every piece itself.
    // Merge raises EStretch for a histogram of another stretch, fractions or pass.
    TClipHistogram Empty() const;
    void Merge(const TClipHistogram& Other);

    // The stretch whose outputs it counts.
    const TBandTransform& Transform() const noexcept { return Stretch; }

private:
    friend std::string WriteClipHistogramJson(const TClipHistogram& H);
    friend TClipHistogram ReadClipHistogramJson(const std::string& Text);

    // The parts' counts of the pass so far added into Bins and Count (FinishPass does it).
    void Fold();
    // Bin k and band b's count with the parts' counts not yet folded in.
    uint64_t Total(size_t k) const noexcept;
    int64_t TotalCount(int b) const noexcept;

    TBandTransform Stretch;
    double LowFraction, HighFraction;
    int Pass = 0, Passes = 1;
    // Per band (Bands entries):
    TVector<int64_t> Count;                  // values counted in the current pass
    TVector<std::array<uint64_t, 2>> Prefix; // keys: the high bits of each limit's key found
                                             // so far
    TVector<std::array<uint64_t, 2>> Passed; // keys: the values beyond the keys that begin so
    TVector<std::array<double, 2>> Limit;    // each band's L and H, as stored samples
    std::vector<uint64_t> Bins;              // per band: every level, or 65,536 bins of keys (two
                                             // sets, one a side, when refining)
    // The bins and float counts of parts 1.. of Measure's threads (part 0 counts into Bins),
    // allocated once a pass and kept across its measures.
    std::vector<std::vector<uint64_t>> PartBins;
    std::vector<TVector<int64_t>> PartCounts;
};
// One image's saturation: the passes of TClipHistogram over it.
TBandTransform ClipStretch(const TBandTransform& T, const TImageView& Image,
                           const TSelection& Selection, double Low, double High,
                           const TRunOptions& Run = {});

// The whole fit as passes over a series of images, or over pieces of one (strips of a file,
// chunks of an array, strips of a canvas), in the protocol of TClipHistogram:
//
//     TStretchFit fit(options, bands, type, selection);
//     while (fit.NeedsPass()) {
//         for (each piece) fit.Measure(piece, its selection);
//         fit.FinishPass();
//     }
//     TBandTransform t = fit.Result();
//
// The passes are the statistics, then (unless the target method, which fits from statistics
// alone) the components' ranges under the axes the statistics give, then the saturation's
// (TClipHistogram::PassesFor) when Options.Clip asks for it. Every piece is measured in every
// pass, in the same order. Pieces measured apart (on other threads, in other tasks) measure
// into Empty copies, which Merge adds back, in the order of the pieces: the result is the one a
// single scan of the series gives (integer statistics exactly whatever the order).
class TStretchFit {
public:
    enum class TPass { Statistics, Ranges, Clip, Done };

    // A fit of images of Bands bands of Type. Selection gives the no-data value the result
    // records and the text of the refusal when nothing is selected; each piece's own selection
    // comes with Measure. Raises EStretch for a band count outside 1..1024.
    TStretchFit(const TFitOptions& Options, int Bands, TSampleType Type,
                const TSelection& Selection = {}, const TRunOptions& Run = {});
    // A fit whose statistics were measured elsewhere (in the views' band order, pooled over
    // the series): its statistics pass is done.
    TStretchFit(const TFitOptions& Options, const TStatistics& Statistics,
                const TSelection& Selection = {}, const TRunOptions& Run = {});

    TPass Pass() const noexcept { return Current; }
    bool NeedsPass() const noexcept { return Current != TPass::Done; }
    // Passes a fit with these options takes (1 to 6), and how many are done.
    int Passes() const noexcept { return PassCount; }
    int PassesDone() const noexcept { return Finished; }

    // Measures the selected pixels of one piece in the current pass. Through, when given, is
    // how far through the pass the series is at the end of this piece (0 to 1): the run's
    // progress callback then hears the share of the whole fit done.
    void Measure(const TImageView& Image, const TSelection& Selection = {}, double Through = -1);
    // Ends the current pass. After the statistics, raises EStretch "no pixels selected ..."
    // (with NothingSelected when set, the selection's text otherwise) when no piece selected
    // a pixel.
    void FinishPass();

    // A copy in the same pass with nothing measured, to measure pieces apart; Merge adds such
    // a copy's measures into these (raises EStretch for a fit of other options or pass).
    TStretchFit Empty() const;
    void Merge(const TStretchFit& Other);

    // The statistics measured so far, in the views' band order.
    TStatistics Statistics() const;
    // The fitted transform (raises EStretch while passes remain); it records the selection's
    // no-data value, rounded to the sample type.
    TBandTransform Result() const;

    // The end of the refusal when nothing is selected: "no pixels selected" + this.
    std::string NothingSelected;
    // How the measures and the end of each pass run: threads, and the progress of the whole
    // fit (which the pieces' Through tells).
    TRunOptions Run;

private:
    friend std::string WriteStretchFitJson(const TStretchFit& F);
    friend TStretchFit ReadStretchFitJson(const std::string& Text);

    void Start(); // after the statistics
    void Finish(TBandTransform stretch);

    TFitOptions Options;
    int Bands = 0;
    TSampleType Type = TSampleType::UInt8;
    bool Reversed = false; // the passes read three bands last to first
    bool HasNoData = false;
    double NoData = 0;
    std::string SelectionDescription;
    TPass Current = TPass::Statistics;
    int PassCount = 1, Finished = 0;
    double ThroughSoFar = 0;
    TStatistics Stats; // in working order
    bool Measured = false;
    TPrincipalAxes Axes;
    TComponentRanges Ranges;
    TBandTransform Stretch;
    std::optional<TClipHistogram> Clip;
    // The statistics pass's blocks, which let the range pass skip blocks that cannot move an
    // extreme, while the series is the one piece they were taken from.
    std::shared_ptr<detail::TBlockBoxes> Boxes;
    TImageView BoxedView;
    TSelection BoxedSelection;
    int Pieces = 0; // measured in the statistics pass
};

// All three steps on one image (the target method: the statistics, then FitTarget), then the
// saturation when Options.Clip asks for it: a TStretchFit over the one image. The transform
// records the selection's no-data value. Raises EStretch "no pixels selected (SELECTION)" when
// the selection leaves no pixel.
TBandTransform FitStretch(const TImageView& Image, const TSelection& Selection = {},
                          const TFitOptions& Options = {}, const TRunOptions& Run = {});

// Maps every pixel of Source through T into Target (which may be Source itself, or overlap it
// exactly): sums in extended precision in T's working order, integer samples rounded half to
// even and clamped to their type's range (a signed type's to its own, int16 to -32768..32767),
// floats stored as computed (clamped to 0..1 when T was clipped). Pixels that the selection's
// no-data value marks, and pixels with a float sample that is not finite, are left as they are
// (copied, converted to Target's type, when Target is another view). Above KernelBands bands
// the sums are formed as a blocked matrix product in doubles and every integer or float32
// output whose rounding they leave undecided is computed as above, so those outputs are the
// same; float64 outputs there are the double sums themselves (products and sums rounded apart,
// in working order), within (4n + 8) 2^-53 of the sum of the terms' magnitudes of the extended
// sum, and like every result independent of threads and processor. Raises EStretch when the
// views' sizes or band counts differ from each other or from T, or when Source's samples are
// not of T's type (Target's may be of any).
void ApplyStretch(const TBandTransform& T, const TImageView& Source, const TImageView& Target,
                  const TSelection* NoData = nullptr, const TRunOptions& Run = {});
// The selection that marks T's own no-data pixels (none when T has no no-data value), for
// ApplyStretch: ApplyStretch(T, a, b, &marks) with marks = NoDataOf(T) gives the fit's result.
TSelection NoDataOf(const TBandTransform& T) noexcept;

// T for samples of another type, each sample keeping its place in its type's range: with b the
// bottom and t the top of a type (0 and 1 for floats) and k = (t_T - b_T) / (t_To - b_To), a
// sample x of To stands for b_T + k (x - b_To) of T's type, and T's output y for
// b_To + (y - b_T) / k. The weights stay as they are and the constants are rescaled; a uint8
// transform applied to 16-bit samples maps 257 x to 257 y, and uint16 to int16 moves every
// value by -32768. The result is clipped if T was, records no statistics (Count 0) and carries
// T's no-data value converted the same way; raises EStretch when that value is not a sample of
// To (clear T.HasNoData first to drop it).
TBandTransform ConvertedTransform(const TBandTransform& T, TSampleType To);

// ---- The lab space -------------------------------------------------------------------------
//
// TColourSpace::Lab stretches three bands of sRGB pixels (red, green, blue) in CIE L*a*b*
// under the D65 white. Samples of every type are sRGB-encoded: an integer sample x stands for
// x / SampleTop (0..1), a float sample for itself, and the sRGB transfer function takes them to
// linear light (c / 12.92 up to 0.04045, ((c + 0.055) / 1.055)^2.4 above; odd beyond 0, so
// that samples below 0 or above 1 convert too). The sRGB matrix takes linear light to XYZ, each
// divided by the white's (the matrix's row sums, so that white has a* = b* = 0 exactly), and
//     L* = 116 f(Y) - 16,  a* = 500 (f(X) - f(Y)),  b* = 200 (f(Y) - f(Z)),
//     f(t) = t^(1/3) above (6/29)^3, t / (3 (6/29)^2) + 4/29 below.
// The way back inverts each step exactly (the matrix's inverse in extended precision).
//
// Lab takes uint8, uint16, float32 and float64 samples and refuses the others (EStretch).
// Accuracy: 8- and 16-bit samples decode through tables of every level's linear value (256 and
// 65,536 doubles, each the formula's double), floats through the formula; the cube root is
// four Newton steps in plain arithmetic (within a few units of the last place), the rest is
// in doubles, so an L*a*b* value lies within about 1e-12 of the exact one, and converting back
// without a stretch returns every 8- and 16-bit level exactly. 8-bit outputs of 8-bit pixels
// come from tables too: per band the 255 linear values at which the stored level steps up
// (the halves between levels, after the saturation, decoded), so a value within about 1e-15
// of a half may land on either side of it instead of on the even level.
//
// Statistics of a lab fit are of the pixels' L*a*b* values (float64 statistics of three bands,
// L*, a*, b*, whatever the pixels' type). The fit runs on those values as the engine fits a
// float64 image whose range is the box L* 0..100, a* and b* -128..127: the offset method spans
// each component over that box, the scale-only method scales within it (about its corner: the
// box's 0), the target method takes its means and deviations in L*a*b* units. The transform's
// Map is the fitted map in L*a*b* units (x: L*, a*, b* in, rows L*, a*, b* out), its Type the
// pixels' type, its pairing direct; its Statistics the L*a*b* statistics.
//
// Application converts each pixel to L*a*b*, maps it through Map in doubles, converts it back
// to sRGB in the type's units, applies LabGain and LabLift (the saturation; 1 and 0 without)
// and clamps to the type's range (float outputs too, to 0..1), integers rounded half to even.
// The saturation's limits are order statistics of those stored outputs, as for every space.
// Lab passes stage the selected pixels' L*a*b* values a block at a time and measure them with
// the float kernels; the affine spaces never take that stage.

// The statistics of the selected pixels' L*a*b* values (float64 statistics of three bands).
// Raises EStretch for an image that is not of three bands of a type Lab takes, and for what
// MeasureStatistics refuses.
TStatistics MeasureLabStatistics(const TImageView& Image, const TSelection& Selection = {},
                                 const TRunOptions& Run = {});

} // namespace vt
