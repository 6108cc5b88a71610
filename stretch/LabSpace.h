// Private to stretch/: the lab space's stage (see "The lab space" in StretchEngine.h): the
// conversions between sRGB samples and L*a*b*, the passes that measure the selected pixels'
// L*a*b* values, the fit's box, and the application through L*a*b*.
#pragma once

#include "stretch/StreamKernels.h"

#include <vector>

namespace vt::detail {

// Raises EStretch unless Lab takes images of these bands and samples.
void CheckLabImage(int bands, TSampleType type);

// The type of the statistics of a fit with these options: float64 for Lab (L*a*b* values),
// the pixels' own otherwise.
inline TSampleType StatisticsTypeFor(const TFitOptions& options, TSampleType type) noexcept {
    return options.Space == TColourSpace::Lab ? TSampleType::Float64 : type;
}

// The L*a*b* values of count pixels of sRGB samples of a type (three doubles a pixel, as
// stored), three a pixel.
void LabOfSamples(const double* rgb, int64_t count, TSampleType type, double* lab) noexcept;
// The linear light of count L*a*b* pixels, and their sRGB samples in a type's units, neither
// rounded nor clamped.
void LinearOfLab(const double* lab, int64_t count, double* linear) noexcept;
void SamplesOfLab(const double* lab, int64_t count, TSampleType type, double* rgb) noexcept;

// The fit's box: L*a*b* value v of band b lies at BoxScale[b] v + BoxShift[b], the box
// L* 0..100, a* and b* -128..127 at 0..1.
inline constexpr double BoxScale[3] = {1.0 / 100, 1.0 / 255, 1.0 / 255};
inline constexpr double BoxShift[3] = {0, 128.0 / 255, 128.0 / 255};

// Statistics of L*a*b* values as the statistics of their places in the box.
TStatistics LabBoxStatistics(const TStatistics& lab);
// The options of the fit in the box: no space, the target in the box's units.
TFitOptions LabBoxOptions(const TFitOptions& options);
// The transform fitted in the box as the lab transform of pixels of a type: its map in
// L*a*b* units, the options, and the L*a*b* statistics it was fitted to.
TBandTransform LabTransformOf(const TBandTransform& box, const TFitOptions& options,
                              TSampleType type, const TStatistics& lab);

// The passes over the selected pixels' L*a*b* values: their statistics, and the extremes of
// the components of axes fitted in the box.
TStatistics MeasureLab(const TImageView& image, const TSelection& selection);
TComponentRanges MeasureLabRanges(const TImageView& image, const TSelection& selection,
                                  const TPrincipalAxes& boxAxes);

// The application of a lab transform to blocks of its pixels (read as stored), written as
// samples of Out, interleaved.
class TLabApply {
public:
    TLabApply(const TBandTransform& transform, TSampleType out);
    void Run(TSampleBlock& block, uint8_t* out) const;

private:
    // Pixels converted at a time (a block's at most), in buffers on the stack.
    static constexpr int64_t RunPixels = 128;
    void RunOf(const double* samples, int64_t count, uint8_t* out) const;

    double Map[3][4];
    double Gain[3], Lift[3];
    TSampleType In, Out;
    double Top;
    // 8-bit samples in and out: each band's 255 linear values where its output level steps up
    // (empty otherwise).
    std::vector<double> Thresholds;
};

} // namespace vt::detail
