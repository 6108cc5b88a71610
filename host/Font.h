// The host's built-in bitmap font for labels drawn into pictures: printable ASCII in glyphs of
// 5 x 7 pixels, set in cells of 6 x 9 (a column and two rows of space), at any whole scale.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vt::host {

constexpr int GlyphWidth = 5, GlyphHeight = 7;
constexpr int CellWidth = 6, CellHeight = 9;

// The rows of C's glyph, top first; bit 4 of each is the leftmost column. Characters outside
// printable ASCII have the glyph of '?'. The glyphs of g, p, q and y hang two rows below the
// others, into the space under the line.
const uint8_t* GlyphOf(char c) noexcept;

// Text broken into lines of at most Columns characters (at least 1): at spaces, and inside a
// word only where the word alone is longer than a line, so that every character is kept.
std::vector<std::string> WrapText(const std::string& text, size_t columns);

// The width in pixels of Text set on one line at Scale, from the first glyph's left edge to
// the last one's right edge.
int TextWidth(const std::string& text, int scale) noexcept;

// Packed pixels of three 8-bit bands, rows from the top.
struct TCanvas {
    uint8_t* Pixels = nullptr;
    int Width = 0, Height = 0;
};

// Sets the pixels of Text's glyphs, each glyph pixel a Scale x Scale square of Colour (in the
// canvas's band order), the first cell's top-left corner at X, Y. Pixels outside the canvas
// are passed over.
void DrawText(const TCanvas& canvas, int x, int y, const std::string& text, int scale,
              const uint8_t (&colour)[3]) noexcept;

} // namespace vt::host
