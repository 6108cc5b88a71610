// Fitting: principal axes from statistics, the components' ranges over the selected pixels,
// and the stretch built from both.
#include "math/FloatMap.h"
#include "math/SymmetricEigen.h"
#include "stretch/FourByteKernels.h"
#include "stretch/KernelDispatch.h"
#include "stretch/LabSpace.h"
#include "stretch/StreamKernels.h"
#include "stretch/StretchTransform.h"
#include "stretch/ThreeByteKernels.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace vt {

using namespace detail;

// ---- Transforms ----------------------------------------------------------------------------

TBandTransform TBandTransform::Identity(int Bands, TSampleType Type) {
    if (Bands < 1 || Bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, Bands}));
    TBandTransform t;
    t.Bands = Bands;
    t.Type = Type;
    t.Options.Pairing = TBandPairing::Direct; // storage order is the direct pairing's
    t.Map = TAffineMap::Identity(Bands);
    t.Order.resize(static_cast<size_t>(Bands));
    for (int b = 0; b < Bands; ++b)
        t.Order[static_cast<size_t>(b)] = b;
    t.Statistics = TStatistics(Bands, Type);
    return t;
}

double TBandTransform::Weight(int Out, int In) const noexcept {
    // From the views' band order to the order the transform numbers them in.
    const bool reversed = ReadsBandsReversed(Options.Pairing, Bands);
    const int out = reversed ? Bands - 1 - Out : Out, in = reversed ? Bands - 1 - In : In;
    int r = 0, c = 0;
    const int n = std::min({Bands, static_cast<int>(Order.size()), Map.Size});
    for (int j = 0; j < n; ++j) {
        if (Order[static_cast<size_t>(j)] == out)
            r = j;
        if (Order[static_cast<size_t>(j)] == in)
            c = j;
    }
    return n > 0 ? Map.M[r][c] : 0.0;
}

double TBandTransform::Constant(int Out) const noexcept {
    const bool reversed = ReadsBandsReversed(Options.Pairing, Bands);
    const int out = reversed ? Bands - 1 - Out : Out;
    const int n = std::min({Bands, static_cast<int>(Order.size()), Map.Size});
    for (int j = 0; j < n; ++j)
        if (Order[static_cast<size_t>(j)] == out)
            return Map.M[j][Bands];
    return 0;
}

TStatistics TBandTransform::ViewStatistics() const {
    return ReadsBandsReversed(Options.Pairing, Bands) ? ReversedStatistics(Statistics) : Statistics;
}

TComponentRanges::TComponentRanges() noexcept = default;

TComponentRanges::TComponentRanges(int bands)
    : Bands(bands),
      Lowest(static_cast<size_t>(std::max(bands, 0)), std::numeric_limits<double>::infinity()),
      Highest(static_cast<size_t>(std::max(bands, 0)), -std::numeric_limits<double>::infinity()) {}

void TComponentRanges::Add(const TComponentRanges& Other) {
    if (Other.Bands != Bands)
        throw EStretch(
            Format("ranges of %d components cannot pool with ranges of %d", {Other.Bands, Bands}));
    if (Lowest.size() != Highest.size() || Other.Lowest.size() != Lowest.size() ||
        Other.Highest.size() != Lowest.size() || Lowest.size() != static_cast<size_t>(Bands))
        throw EStretch(Format("ranges of %d components hold another number of extremes", {Bands}));
    // The scan's own rule: a value replaces the extreme unless the extreme lies strictly
    // beyond it, so ranges pooled in image order are the ranges of one scan.
    for (int k = 0; k < Bands; ++k) {
        if (!(Lowest[k] < Other.Lowest[k]))
            Lowest[k] = Other.Lowest[k];
        if (!(Highest[k] > Other.Highest[k]))
            Highest[k] = Other.Highest[k];
    }
}

// ---- Axes ----------------------------------------------------------------------------------

namespace detail {

void CheckShape(int n, const TVector<int>& order, const TAffineMap& map) {
    bool fits = n >= 1 && n <= MaxBands && order.size() == static_cast<size_t>(n) &&
                map.Size == n && map.M.Rows() == n && map.M.Columns() == n + 1;
    std::vector<char> seen(static_cast<size_t>(std::max(n, 0)), 0);
    for (size_t j = 0; fits && j < order.size(); ++j) {
        fits = order[j] >= 0 && order[j] < n && seen[static_cast<size_t>(order[j])] == 0;
        if (fits)
            seen[static_cast<size_t>(order[j])] = 1;
    }
    if (!fits)
        throw EStretch(Format("a map of %d bands needs an order of each band once and %d rows "
                              "of %d numbers",
                              {n, n, n + 1}));
}

TAffineTransform AsAffineTransform(const TAffineMap& map) noexcept {
    TAffineTransform t;
    IdentityTransform(t);
    if (map.Size != 3 || map.M.Rows() != 3)
        return t; // (only maps of three values have one)
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            t(r, c) = map.M[r][c];
    return t;
}

TAffineMap AsAffineMap(const TAffineTransform& t) {
    TAffineMap m(3);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c)
            m.M[r][c] = t(r, c);
    return m;
}

void DecomposeSymmetric(TMatrix& matrix, TMatrix& vectors, TMatrix& values) {
    const int n = matrix.Height;
    if (n <= KernelBands || matrix.Width != n) {
        matrix.EigenDecompose(vectors, values);
        return;
    }
    vectors.SetSize(n, n);
    values.SetSize(n, 1);
    if (!SymmetricEigen(matrix.Map, n, vectors.Map, values.Map))
        throw EStretch(Format("the eigen-decomposition of %d bands failed: a number that is not "
                              "finite, or no convergence",
                              {n}));
}

void AxesFromMatrix(TMatrix& matrix, bool allowOffset, double bottom, double top,
                    std::vector<double>* fractions, TAffineMap& result) {
    const int n = matrix.Height;
    TMatrix vectors(n, n), values(n, 1);
    DecomposeSymmetric(matrix, vectors, values);

    if (fractions != nullptr) {
        const double sum = values.Sum();
        fractions->assign(static_cast<size_t>(n), 0.0);
        for (int k = 0; k < n; ++k)
            (*fractions)[static_cast<size_t>(k)] =
                static_cast<double>(static_cast<Extended>(values.GetElement(k + 1, 1)) / sum);
    }

    vectors.Transpose(); // row k is now the eigenvector of the k-th largest eigenvalue
    TAffineMap axes = TAffineMap::Identity(n);
    for (int k = 1; k <= n; ++k) {
        // Column j - 1 takes the element of statistics band j; the working order decides which
        // band that column weights.
        for (int j = 1; j <= n; ++j)
            axes.M[k - 1][j - 1] = vectors.GetElement(k, j);
        if (allowOffset)
            LiftRow(axes.M[k - 1], n, bottom, top);
    }
    result = axes;
}

void LiftRow(double* row, int n, double bottom, double top) noexcept {
    double pos = 0, neg = 0;
    for (int j = 0; j < n; ++j) {
        const double v = row[j];
        if (v >= 0)
            pos = static_cast<double>(static_cast<Extended>(pos) + v);
        else
            neg = static_cast<double>(static_cast<Extended>(neg) + v);
    }
    const double s = static_cast<double>(static_cast<Extended>(pos) - neg);
    // Divided by s the positive weights sum to p and the negative ones to q, p - q = 1: over
    // the cube the row runs from p bottom + q top to p top + q bottom, which the constant
    // -q (bottom + top) takes onto bottom..top (-q top for the unsigned types' bottom of 0).
    row[n] = static_cast<double>(-static_cast<Extended>(neg) / s *
                                 (static_cast<Extended>(bottom) + top));
    for (int j = 0; j < n; ++j)
        row[j] = static_cast<double>(static_cast<Extended>(row[j]) / s);
}

} // namespace detail

TPrincipalAxes FitAxes(const TStatistics& Statistics, const TFitOptions& Options) {
    return detail::AxesInWorkingOrder(
        ReadsBandsReversed(PairingFor(Options, Statistics.Bands), Statistics.Bands)
            ? ReversedStatistics(Statistics)
            : Statistics,
        Options);
}

namespace detail {

TPrincipalAxes AxesInWorkingOrder(const TStatistics& Statistics, const TFitOptions& Options) {
    const int n = Statistics.Bands;
    if (n < 1 || n > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, n}));
    if (!Statistics.Complete())
        throw EStretch(Format("statistics of %d bands do not hold sums of %d bands", {n, n}));
    if (Statistics.Count <= 0)
        throw EStretch("no pixels selected: the statistics count none");
    if (Options.Space != TColourSpace::None || !Options.Keep.Empty())
        return SpaceAxes(Statistics, Options);
    TFloatEnvironmentGuard environment;
    TMatrix matrix(n, n);
    matrix.Identity();
    for (int i = 1; i <= n; ++i)
        for (int j = i; j <= n; ++j) {
            if (Options.Basis == TStretchBasis::Correlation && i == j)
                continue;
            const double v = Options.Basis == TStretchBasis::Correlation
                                 ? Statistics.Correlation(i - 1, j - 1)
                                 : Statistics.Covariance(i - 1, j - 1);
            matrix.SetElement(i, j, v);
            matrix.SetElement(j, i, v);
        }
    TPrincipalAxes axes;
    axes.Bands = n;
    axes.Type = Statistics.Type;
    axes.Options = Options;
    axes.Options.Pairing = PairingFor(Options, n);
    axes.Order.resize(static_cast<size_t>(n));
    for (int j = 0; j < n; ++j)
        axes.Order[static_cast<size_t>(j)] =
            axes.Options.Pairing == TBandPairing::Plugin ? n - 1 - j : j;
    axes.Statistics = Statistics;
    AxesFromMatrix(matrix, Options.Method == TStretchMethod::Offset, SampleBottom(Statistics.Type),
                   SampleTop(Statistics.Type), &axes.Fraction, axes.Map);
    return axes;
}

} // namespace detail

// ---- Component ranges ----------------------------------------------------------------------

namespace {

bool FiniteWeights(const TAffineMap& m) noexcept {
    for (int r = 0; r < m.Size; ++r)
        for (int c = 0; c <= m.Size; ++c)
            if (!std::isfinite(m.M[r][c]))
                return false;
    return true;
}

} // namespace

namespace detail {

TComponentRanges MeasureComponentRanges(const TImageView& image, const TSelection& given,
                                        const TPrincipalAxes& axes, const TBlockBoxes* boxes) {
    const TRegion region = RegionOf(image, given);
    const TSelection selection = SelectionFor(image, given);
    if (image.Bands != axes.Bands)
        throw EStretch(
            Format("the axes are for %d bands, the image has %d", {axes.Bands, image.Bands}));
    CheckShape(axes.Bands, axes.Order, axes.Map);
    TFloatEnvironmentGuard environment;
    const bool plain = selection.Mask == nullptr && !selection.HasNoData && region.Every == 1;
    const TKernelFamily family = KernelFamilyFor(image, &selection, TKernelPass::Ranges(axes));
    const bool threeBytes = family == TKernelFamily::ThreeByte;
    const TAffineTransform affine = AsAffineTransform(axes.Map);
    const TSegments segments = plain ? PackedSegments(image, region) : SegmentsOf(image, region);
    if (family == TKernelFamily::FourByte) {
        const int parts = PartsFor(segments);
        std::vector<TComponentRanges> partRanges(static_cast<size_t>(parts), TComponentRanges(3));
        RunParts(parts, [&](int p) {
            FourByteRanges(PartOf(segments, p, parts), image.BandStride, axes,
                           partRanges[static_cast<size_t>(p)]);
        });
        TComponentRanges ranges(3);
        for (const TComponentRanges& r : partRanges)
            ranges.Add(r);
        return ranges;
    }
    // Finite components give extremes of parts that combine in order into those of one scan;
    // components that are not numbers make the result depend on the order of the whole scan.
    const bool inParts = threeBytes ? RangesInParts(affine) : FiniteWeights(axes.Map);
    // The statistics pass's boxes serve when its blocks are these: the same parts of the same
    // selection.
    const bool boxed = boxes != nullptr && boxes->Parts > 0 && inParts && !threeBytes &&
                       selection.Mask == nullptr && !selection.HasNoData;
    const int parts = boxed ? boxes->Parts : inParts ? PartsFor(segments) : 1;
    const bool screen = selection.HasNoData || IsFloatSample(image.Type);
    std::vector<TComponentRanges> partRanges(static_cast<size_t>(parts),
                                             TComponentRanges(axes.Bands));
    std::vector<TSampleBlock> blocks;
    std::vector<TStreamRanges> scans;
    if (!threeBytes)
        for (int p = 0; p < parts; ++p) {
            blocks.emplace_back(image.Bands, image.Type);
            scans.emplace_back(axes, partRanges[static_cast<size_t>(p)]);
        }
    RunParts(parts, inParts ? PartsFor(segments) : 1, [&](int p) {
        const TSegments part = PartOf(segments, p, parts);
        const auto i = static_cast<size_t>(p);
        if (threeBytes) {
            RangesOfSegments(part, affine, partRanges[i].Lowest.data(),
                             partRanges[i].Highest.data(), image.BandStride < 0);
            return;
        }
        const auto use = [&](TSampleBlock& block) { scans[i].Add(block); };
        if (!boxed) {
            ForEachBlock(image, selection, part, screen, blocks[i], use);
            return;
        }
        const std::vector<float>& box = boxes->Boxes[i];
        const size_t size = static_cast<size_t>(2 * axes.Bands);
        ForEachBlock(image, selection, part, screen, blocks[i], use, [&](int64_t k) {
            const auto at = static_cast<size_t>(k) * size;
            return at + size <= box.size() && scans[i].Inside(box.data() + at);
        });
    });
    TComponentRanges ranges(axes.Bands);
    for (const TComponentRanges& r : partRanges)
        ranges.Add(r);
    return ranges;
}

} // namespace detail

TComponentRanges MeasureComponentRanges(const TImageView& Image, const TSelection& Selection,
                                        const TPrincipalAxes& Axes, const TRunOptions& Run) {
    TRunScope scope(Run);
    return detail::MeasureComponentRanges(
        InWorkingOrder(Image, ReadsBandsReversed(Axes.Options.Pairing, Axes.Bands)), Selection,
        Axes, nullptr);
}

// ---- The stretch ---------------------------------------------------------------------------

namespace detail {

double ComponentScale(const TAffineMap& axes, const double* lowest, const double* highest,
                      int count) noexcept {
    const int n = axes.Size;
    Extended largest = 0;
    for (int k = 0; k < count; ++k) {
        if (!std::isfinite(lowest[k]) || !std::isfinite(highest[k]))
            continue;
        const Extended low = Fabs(static_cast<Extended>(lowest[k]) - axes.M[k][n]);
        const Extended high = Fabs(static_cast<Extended>(highest[k]) - axes.M[k][n]);
        largest = low > largest ? low : largest;
        largest = high > largest ? high : largest;
    }
    return static_cast<double>(largest);
}

double ConstantTolerance(double scale, double span, double lowest, double highest) noexcept {
    // Relative to the data's scale (1e-9 for 8-bit data that spans its range), and never
    // below the rounding of the component's own values, whose constant may be far larger
    // than the data (the offset method's lift).
    const double relative =
        static_cast<double>(static_cast<Extended>(ConstantComponentRange) * scale / span);
    // Never 0, so that a component of no range at all (data of zeros) is always constant.
    const double rounding = 0x1p-44 * std::max(std::fabs(lowest), std::fabs(highest));
    return std::max(
        {relative, std::isfinite(rounding) ? rounding : 0.0, std::numeric_limits<double>::min()});
}

double ScaleOnlyFactor(const TAffineMap& axes, int k, double bottom, double top, double lowest,
                       double highest, double tolerance) {
    const int n = axes.Size;
    // Pos and Neg: the largest and smallest values component k takes over the cube of all
    // pixel values (the positive weights at the top and the negative ones at the bottom, and
    // the other way round; the bottom's terms are 0 for unsigned types).
    double pos = 0, neg = 0;
    for (int j = 0; j < n; ++j) {
        const double v = axes.M[k][j];
        if (v >= 0)
            pos = static_cast<double>(static_cast<Extended>(pos) + v);
        else
            neg = static_cast<double>(static_cast<Extended>(neg) + v);
    }
    const double weights[2] = {pos, neg};
    pos = static_cast<double>(static_cast<Extended>(weights[0]) * top +
                              static_cast<Extended>(weights[1]) * bottom);
    neg = static_cast<double>(static_cast<Extended>(weights[1]) * top +
                              static_cast<Extended>(weights[0]) * bottom);
    // Extremes at rounding-noise level (the chroma components of a grey image) bound nothing.
    if (std::fabs(lowest) < tolerance && std::fabs(highest) < tolerance)
        return 1.0;
    Extended s = std::numeric_limits<Extended>::infinity();
    if (pos > 0 && highest > 0) {
        const Extended q = static_cast<Extended>(pos) / highest;
        if (!(s < q))
            s = q;
    }
    if (neg < 0 && lowest < 0) {
        const Extended q = static_cast<Extended>(neg) / lowest;
        if (!(s < q))
            s = q;
    }
    // A component that nothing bounds keeps its scale.
    const double stored = static_cast<double>(s);
    return std::isfinite(stored) ? stored : 1.0;
}

TAffineMap StretchOfAxes(const TAffineMap& axes, const double* lowest, const double* highest,
                         bool allowOffset, double bottom, double top, int kept) {
    const int n = axes.Size;
    const double scale = ComponentScale(axes, lowest, highest, n - kept);
    const double span = top - bottom; // exact for every type's range
    TVector<char> constant(static_cast<size_t>(n));
    TVector<double> tolerance(static_cast<size_t>(n));
    bool allConstant = true;
    for (int k = 0; k < n; ++k) {
        tolerance[k] = ConstantTolerance(scale, span, lowest[k], highest[k]);
        constant[k] = !(static_cast<Extended>(highest[k]) - lowest[k] >= tolerance[k]);
        if (k >= n - kept)
            constant[k] = true; // kept bands pass as they are
        allConstant = allConstant && constant[k];
    }
    // An image of one colour (or none) has nothing to stretch: every component is constant.
    if (allConstant)
        return TAffineMap::Identity(n);

    TAffineMap stretch = axes;
    TAffineMap scaling = TAffineMap::Identity(n);
    if (allowOffset) {
        // The offset method divides by the range, so a constant component stays as it is.
        TAffineMap translation = TAffineMap::Identity(n);
        for (int k = 0; k < n; ++k) {
            translation.M[k][n] = constant[k] ? 0.0 : -lowest[k];
            scaling.M[k][k] =
                constant[k] ? 1.0
                            : static_cast<double>(static_cast<Extended>(span) /
                                                  (static_cast<Extended>(highest[k]) - lowest[k]));
        }
        ComposeAffine(stretch, translation);
    } else {
        for (int k = 0; k < n - kept; ++k)
            scaling.M[k][k] =
                ScaleOnlyFactor(axes, k, bottom, top, lowest[k], highest[k], tolerance[k]);
    }
    ComposeAffine(stretch, scaling);
    if (allowOffset && bottom != 0) {
        // Signed types: the scaled components, which span 0..span, moved onto bottom..top.
        TAffineMap lift = TAffineMap::Identity(n);
        for (int k = 0; k < n; ++k)
            lift.M[k][n] = constant[k] ? 0.0 : bottom;
        ComposeAffine(stretch, lift);
    }

    TAffineMap inverse;
    InvertAffine(axes, inverse);
    ComposeAffine(stretch, inverse);
    return stretch;
}

} // namespace detail

TBandTransform BuildStretch(const TPrincipalAxes& Axes, const TComponentRanges& Ranges) {
    if (Axes.Bands < 1 || Axes.Bands > MaxBands || Axes.Map.Size != Axes.Bands ||
        Axes.Order.size() != static_cast<size_t>(Axes.Bands))
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, Axes.Bands}));
    if (Ranges.Bands != Axes.Bands || Ranges.Lowest.size() != static_cast<size_t>(Ranges.Bands) ||
        Ranges.Highest.size() != static_cast<size_t>(Ranges.Bands))
        throw EStretch(Format("ranges of %d components do not fit axes of %d bands",
                              {Ranges.Bands, Axes.Bands}));
    bool measured = false;
    for (int k = 0; k < Ranges.Bands; ++k)
        measured = measured || !(Ranges.Lowest[k] > Ranges.Highest[k]);
    if (!measured)
        throw EStretch("no pixels selected: the components' ranges are empty");
    TFloatEnvironmentGuard environment;
    TBandTransform t;
    t.Bands = Axes.Bands;
    t.Type = Axes.Type;
    t.Order = Axes.Order;
    t.Options = Axes.Options;
    t.Statistics = Axes.Statistics;
    t.Map = StretchOfAxes(Axes.Map, Ranges.Lowest.data(), Ranges.Highest.data(),
                          Axes.Options.Method == TStretchMethod::Offset, SampleBottom(Axes.Type),
                          SampleTop(Axes.Type), KeptBands(Axes.Options, Axes.Bands));
    return t;
}

// ---- The driver ----------------------------------------------------------------------------

namespace {

// The refusal of a selection that leaves no pixel to fit, naming the selection: when the
// pieces were one float image that every pixel of was left out of, saying why.
std::string NothingSelectedIn(const TImageView& image, const TSelection& selection) {
    const TRegion region = RegionOf(image, selection);
    if (IsFloatSample(image.Type) && selection.Mask == nullptr && !selection.HasNoData &&
        region.Columns() > 0 && region.Rows() > 0)
        return " (" + SelectionText(selection) +
               "): every pixel has a sample that is not a finite number";
    return " (" + SelectionText(selection) + ")";
}

int ClipPasses(TSampleType type) noexcept {
    return TClipHistogram::PassesFor(type);
}

} // namespace

TStretchFit::TStretchFit(const TFitOptions& options, int bands, TSampleType type,
                         const TSelection& selection, const TRunOptions& run)
    : Run(run), Options(options), Bands(bands), Type(type),
      Stats(bands, StatisticsTypeFor(options, type)) {
    if (bands < 1 || bands > MaxBands)
        throw EStretch(Format("images have 1 to %d bands, not %d", {MaxBands, bands}));
    if (options.Space == TColourSpace::Lab)
        CheckLabImage(bands, type);
    // Only the pairing the options give these bands counts (documents of the fit record it).
    Options.Pairing = PairingFor(options, bands);
    Reversed = ReadsBandsReversed(Options.Pairing, bands);
    HasNoData = selection.HasNoData;
    NoData = selection.HasNoData ? NoDataSample(selection.NoData, type) : 0.0;
    SelectionDescription = " (" + SelectionText(selection) + ")";
    PassCount =
        (options.Method == TStretchMethod::Target ? 1 : 2) + (options.Clip ? ClipPasses(type) : 0);
}

TStretchFit::TStretchFit(const TFitOptions& options, const TStatistics& statistics,
                         const TSelection& selection, const TRunOptions& run)
    : TStretchFit(options, statistics.Bands, statistics.Type, selection, run) {
    if (options.Space == TColourSpace::Lab)
        throw EStretch("a lab fit measures the pixels' L*a*b* values itself: it cannot start "
                       "from statistics");
    Stats = Reversed ? ReversedStatistics(statistics) : statistics;
    Measured = true;
    FinishPass();
}

void TStretchFit::Measure(const TImageView& image, const TSelection& selection, double through) {
    if (Current == TPass::Done)
        throw EStretch("the fit has taken all its passes");
    if (image.Bands != Bands || image.Type != Type)
        throw EStretch(
            Format("%d-band %s images cannot pool with %d-band %s ones",
                   {image.Bands, SampleTypeName(image.Type), Bands, SampleTypeName(Type)}));
    TRunScope scope(Run);
    // This piece's share of the whole fit, for the progress callback.
    const double before = std::clamp(ThroughSoFar, 0.0, 1.0);
    const double after = through >= 0 ? std::clamp(through, before, 1.0) : before;
    scope.Section((Finished + before) / PassCount, (after - before) / PassCount);
    ThroughSoFar = after;
    const TImageView view = InWorkingOrder(image, Reversed);
    if (Options.Space == TColourSpace::Lab && Current != TPass::Clip) {
        // The L*a*b* stage: statistics of the values, ranges of their places in the box.
        if (Current == TPass::Statistics) {
            Stats.Add(MeasureLab(view, selection));
            Measured = true;
            ++Pieces;
            if (Stats.Count == 0 && Pieces == 1)
                SelectionDescription = NothingSelectedIn(image, selection);
        } else if (Current == TPass::Ranges) {
            Ranges.Add(MeasureLabRanges(view, selection, Axes));
        }
        return;
    }
    switch (Current) {
    case TPass::Statistics: {
        // The blocks' boxes serve the range pass while the series is this one piece.
        const bool boxed = Pieces == 0 && Options.Method != TStretchMethod::Target;
        auto boxes = boxed ? std::make_shared<TBlockBoxes>() : nullptr;
        const TStatistics s = detail::MeasureStatistics(view, selection, boxes.get());
        if (!Measured)
            Stats = s;
        else
            Stats.Add(s);
        Measured = true;
        Boxes = std::move(boxes);
        BoxedView = image;
        BoxedSelection = selection;
        ++Pieces;
        if (Stats.Count == 0 && Pieces == 1)
            SelectionDescription = NothingSelectedIn(image, selection);
        break;
    }
    case TPass::Ranges: {
        const bool same = Pieces == 1 && Boxes && image.Data == BoxedView.Data &&
                          image.Width == BoxedView.Width && image.Height == BoxedView.Height &&
                          image.PixelStride == BoxedView.PixelStride &&
                          image.RowStride == BoxedView.RowStride &&
                          image.BandStride == BoxedView.BandStride &&
                          SelectionText(selection) == SelectionText(BoxedSelection) &&
                          selection.Mask == BoxedSelection.Mask;
        Ranges.Add(
            detail::MeasureComponentRanges(view, selection, Axes, same ? Boxes.get() : nullptr));
        break;
    }
    case TPass::Clip:
        Clip->Measure(image, selection, Run);
        break;
    case TPass::Done:
        break;
    }
}

void TStretchFit::Start() {
    if (Stats.Count == 0)
        throw EStretch("no pixels selected" +
                       (NothingSelected.empty() ? SelectionDescription : NothingSelected));
    // Lab fits in the box, as the engine fits float64 images.
    const bool lab = Options.Space == TColourSpace::Lab;
    const TStatistics stats = lab ? LabBoxStatistics(Stats) : Stats;
    const TFitOptions options = lab ? LabBoxOptions(Options) : Options;
    if (Options.Method == TStretchMethod::Target) {
        Finish(FitTarget(stats, options));
        return;
    }
    Axes = AxesInWorkingOrder(stats, options);
    Ranges = TComponentRanges(Bands);
    Current = TPass::Ranges;
}

void TStretchFit::Finish(TBandTransform stretch) {
    if (Options.Space == TColourSpace::Lab)
        stretch = LabTransformOf(stretch, Options, Type, Stats);
    stretch.HasNoData = HasNoData;
    stretch.NoData = NoData;
    Stretch = stretch;
    Boxes.reset();
    if (Options.Clip && !Clip) {
        Clip.emplace(Stretch, Options.ClipLow, Options.ClipHigh);
        Current = TPass::Clip;
        return;
    }
    Current = TPass::Done;
}

void TStretchFit::FinishPass() {
    ThroughSoFar = 0;
    switch (Current) {
    case TPass::Statistics:
        Start();
        break;
    case TPass::Ranges:
        Finish(BuildStretch(Axes, Ranges));
        break;
    case TPass::Clip:
        Clip->FinishPass();
        if (!Clip->NeedsPass()) {
            Stretch = Clip->Clipped();
            Current = TPass::Done;
        }
        break;
    case TPass::Done:
        throw EStretch("the fit has taken all its passes");
    }
    ++Finished;
    if (Run.Progress) {
        TRunScope scope(Run);
        scope.Section(static_cast<double>(Finished) / PassCount, 0);
        scope.Report(0);
        scope.ThrowIfStopped();
    }
}

TStretchFit TStretchFit::Empty() const {
    TStretchFit piece = *this;
    if (Current == TPass::Statistics) {
        piece.Stats = TStatistics(Bands, StatisticsTypeFor(Options, Type));
        piece.Measured = false;
    }
    piece.Pieces = 0;
    piece.Boxes.reset();
    piece.Ranges = TComponentRanges(Bands);
    if (Clip)
        piece.Clip.emplace(Clip->Empty());
    return piece;
}

void TStretchFit::Merge(const TStretchFit& other) {
    if (other.Current != Current || other.Bands != Bands || other.Type != Type ||
        other.Reversed != Reversed || other.Options.Method != Options.Method)
        throw EStretch("the fits are of other images, options or passes");
    switch (Current) {
    case TPass::Statistics:
        if (!other.Measured)
            break;
        if (!Measured)
            Stats = other.Stats;
        else
            Stats.Add(other.Stats);
        Measured = true;
        Pieces += 2; // the boxes were taken from a piece, not the series
        Boxes.reset();
        break;
    case TPass::Ranges:
        Ranges.Add(other.Ranges);
        break;
    case TPass::Clip:
        Clip->Merge(*other.Clip);
        break;
    case TPass::Done:
        break;
    }
}

TStatistics TStretchFit::Statistics() const {
    return Reversed ? ReversedStatistics(Stats) : Stats;
}

TBandTransform TStretchFit::Result() const {
    if (Current != TPass::Done)
        throw EStretch("the fit has passes left to take");
    return Stretch;
}

TBandTransform FitStretch(const TImageView& Image, const TSelection& Selection,
                          const TFitOptions& Options, const TRunOptions& Run) {
    TStretchFit fit(Options, Image.Bands, Image.Type, Selection, Run);
    while (fit.NeedsPass()) {
        fit.Measure(Image, Selection, 1);
        fit.FinishPass();
    }
    return fit.Result();
}

} // namespace vt
