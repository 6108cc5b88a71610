// A photograph's EXIF carried into a TIFF: the EXIF block that JPEG, PNG and WebP files hold (a
// little TIFF structure of its own) is copied into the TIFF's EXIF and GPS directories, and its
// description of the camera (maker, model, date, ...) into the TIFF's own tags. Private to
// host/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vt::host {

// The EXIF block's first directory's text tags that a TIFF holds in its own directory (Make,
// Model, DateTime, Software, Artist, Copyright, ImageDescription): tag and text. Empty for a
// block that cannot be read.
std::vector<std::pair<uint16_t, std::string>> ExifTextTags(const uint8_t* exif, size_t size);

// Appends the EXIF block's EXIF and GPS directories (with the interoperability directory they
// point to) to the classic little-endian TIFF at Path and points its first directory at them.
// Values keep their meaning in the file's byte order. Returns false, leaving the file as it was,
// when the block cannot be read or the file is not such a TIFF; throws std::runtime_error when
// writing fails.
bool AppendExif(const std::string& path, const uint8_t* exif, size_t size);
// The same from another TIFF file's own EXIF and GPS directories (a classic TIFF of either byte
// order; false for any other file).
bool AppendExifOfTiff(const std::string& path, const std::string& tiff);

} // namespace vt::host
