// The host's stretch in its own process, through the stretch engine: images of any band count
// and sample type, statistics from a selection of pixels, one transform for many images, and
// images larger than memory, read and written in strips.
#pragma once

#include "host/Output.h"
#include "stretch/StretchEngine.h"
#include "stretch/StretchOptions.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vt::host {

class TRasterReader;

struct TEngineOptions {
    // The stretch's options as the engine's table parses them: the fit, which pixels the
    // statistics come from, the target's values, threads, where the transform is saved.
    TStretchRequest Request;
    std::string Mask; // a file of the image's size: its non-zero pixels count
    // The file's own no-data value serves when no --nodata is given; --nodata none ignores it.
    // FileNoData tells that Request's no-data value came from the file.
    bool NoDataNone = false;
    bool FileNoData = false;
    bool Progress = false; // a bar on standard error for an image that takes a while
    std::string Compare;   // a before/after picture written with the output, or empty
    TWriteOptions Write;   // how outputs are encoded
};

// The options with the no-data value of the raster Image when they give none (and do not say
// --nodata none): pixels equal to it in every colour band are left out of the statistics and
// pass unchanged. A value the file has that cannot serve (its bands disagree, its samples cannot
// hold it) is reported as a warning.
TEngineOptions WithFileNoData(const TEngineOptions& options, const TRasterReader& image);

// The options' selection as the command line gives it ("--sample 0,0,4,4 --every 2"), for
// messages; Transparent adds that fully transparent pixels are left out.
std::string SelectionText(const TEngineOptions& options, bool transparent = false);

// Refuses, with the engine's reason and the file's name, a file and options that do not fit
// each other (a sample type the engine does not take, more bands than it takes, a rectangle
// outside the image, a mask of another size, a no-data value outside the samples' range, a
// transform for other images): before any pixel is read. Given is the transform to apply, or
// null.
void CheckEngineJob(const std::string& in, const TEngineOptions& options,
                    const TBandTransform* given);

// Stretches In into Out: fits a transform to In's selected pixels (fully transparent ones left
// out), or applies Given, to every pixel of the colour bands (alpha is kept as it was). Out may
// carry the saver's options ("out.jpg[Q=90]"). Out, the comparison and the saved transform
// the options ask for are written to part files and renamed only when all are complete, after
// a check that Out's format holds the result. Returns the transform applied. Throws
// std::runtime_error "cannot read/write FILE: reason" and EStretch for refusals.
TBandTransform EngineStretchFile(const std::string& in, const std::string& out,
                                 const TEngineOptions& options, const TBandTransform* given);

// The transform the options fit to In's selected pixels: the passes of EngineStretchFile
// without the application.
TBandTransform FitFile(const std::string& in, const TEngineOptions& options);

// One transform fitted to the pooled statistics of all inputs: their sums first, then the
// components' ranges over all of them. Step is told of each file as a pass reaches it. Errors
// name the input they concern.
TBandTransform FitPooled(const std::vector<std::string>& inputs, const TEngineOptions& options,
                         const std::function<void(const std::string& file)>& step);

// How many rows the engine reads at a time for an image of rows of RowBytes bytes:
// VELTRANE_STRIP_ROWS when set, otherwise the whole image up to 256 MiB and strips of about
// 16 MiB beyond.
int64_t StripRows(size_t rowBytes, int64_t height);

} // namespace vt::host
