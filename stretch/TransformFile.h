// Transforms and statistics as files: versioned JSON documents that the library writes and
// reads back exactly (every double reads back to the same bits, sums of integer samples stay
// exact), so that a transform fitted once applies anywhere with the same bytes.
#pragma once

#include "stretch/StretchEngine.h"

#include <string>

namespace vt {

// The document's version; a reader refuses a newer one.
inline constexpr int TransformFileVersion = 3;

// The transform as a JSON document: bands, sample type, method, basis, pairing, the controls
// (colour space, kept bands, clip; version 2, written only when one is set), the no-data value
// its fit left out ("nodata": a number, or "inf" / "-inf"; version 3, written only when set),
// the band order sums are formed in, the matrix (row b: the weight of every input band, then
// the constant) and the statistics it was fitted to. The version written is the lowest that
// holds the transform: 3 for a no-data value or the plug-in pairing of three bands, 2 for the
// controls, 1 otherwise.
//
// Bands: the engine with the plug-in pairing of three bands sees a file's bands last to first
// (ReadsBandsReversed), as the plug-in sees its blue-green-red pixels. From version 3 on the
// matrix is in the file's band order (row 0 is the file's first band, red for RGB); versions
// 1 and 2 wrote it in the engine's order (row 0 the file's last band) and read as they were
// written. "order" lists the working order in the engine's numbering ([2, 1, 0] for the
// plug-in pairing of three bands, the bands' order otherwise) and must agree with "pairing";
// the statistics are in the engine's numbering too, as they were measured.
std::string WriteTransformJson(const TBandTransform& T);
// Reads a document WriteTransformJson wrote, of any version up to this one. Raises EStretch
// naming the problem for a document that is malformed, truncated, of another kind or a newer
// version, or inconsistent (a band count outside 1..16, an order that is not a permutation or
// contradicts the pairing, a matrix of another size, numbers that are not finite, a no-data
// value that is not a sample of the type, statistics of another band count or type).
TBandTransform ReadTransformJson(const std::string& Text);

std::string WriteStatisticsJson(const TStatistics& S);
TStatistics ReadStatisticsJson(const std::string& Text);

// A saturation histogram between passes (TClipHistogram::Empty and Merge count a series in
// pieces; this carries a piece between processes): its stretch, fractions, pass, the limits
// found so far and the non-zero bins. Reads back to a histogram that merges and finishes
// exactly as the one written; raises EStretch for a document that is not one.
std::string WriteClipHistogramJson(const TClipHistogram& H);
TClipHistogram ReadClipHistogramJson(const std::string& Text);

// A fit between passes (TStretchFit::Empty and Merge measure a series in pieces; this carries
// a fit or a piece between processes): its options, pass, and what it has measured so far.
// Reads back to a fit that measures, merges and finishes exactly as the one written; raises
// EStretch for a document that is not one.
std::string WriteStretchFitJson(const TStretchFit& F);
TStretchFit ReadStretchFitJson(const std::string& Text);

// The same through files (the library's buffered file streams); raises what they raise, and
// EStretch naming the file for one that is not a transform (or statistics) document ("PATH:
// not a transform file: ...") or that the reader refuses ("PATH: ...").
void SaveTransform(const TBandTransform& T, const std::string& Path);
TBandTransform LoadTransform(const std::string& Path);
void SaveStatistics(const TStatistics& S, const std::string& Path);
TStatistics LoadStatistics(const std::string& Path);

} // namespace vt
