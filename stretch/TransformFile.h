// Transforms and statistics as files: versioned JSON documents that the library writes and
// reads back exactly (every double reads back to the same bits, sums of integer samples stay
// exact), so that a transform fitted once applies anywhere with the same bytes.
#pragma once

#include "stretch/StretchEngine.h"

#include <string>

namespace vt {

// The document's version; a reader refuses a newer one.
inline constexpr int TransformFileVersion = 2;

// The transform as a JSON document: bands, sample type, method, basis, pairing, the controls
// (colour space, kept bands, clip; version 2, written only when one is set), the band order
// sums are formed in, the matrix in storage order (row b: the weight of every input band, then
// the constant) and the statistics it was fitted to.
std::string WriteTransformJson(const TBandTransform& T);
// Reads a document WriteTransformJson wrote. Raises EStretch naming the problem for a document
// that is malformed, truncated, of another kind or a newer version, or inconsistent (a band
// count outside 1..16, an order that is not a permutation, a matrix of another size, numbers
// that are not finite, statistics of another band count or type).
TBandTransform ReadTransformJson(const std::string& Text);

std::string WriteStatisticsJson(const TStatistics& S);
TStatistics ReadStatisticsJson(const std::string& Text);

// A saturation histogram between passes (TClipHistogram::Empty and Merge count a series in
// pieces; this carries a piece between processes): its stretch, fractions, pass, the limits
// found so far and the non-zero bins. Reads back to a histogram that merges and finishes
// exactly as the one written; raises EStretch for a document that is not one.
std::string WriteClipHistogramJson(const TClipHistogram& H);
TClipHistogram ReadClipHistogramJson(const std::string& Text);

// The same through files (the library's buffered file streams); raises what they raise, and
// EStretch for a file that is not a transform.
void SaveTransform(const TBandTransform& T, const std::string& Path);
TBandTransform LoadTransform(const std::string& Path);
void SaveStatistics(const TStatistics& S, const std::string& Path);
TStatistics LoadStatistics(const std::string& Path);

} // namespace vt
