// The project's 5 x 7 pixel font for legends drawn into gauge bitmaps.
#pragma once

namespace bmpgen {

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kGlyphAdvance = 6;  // one blank column between letters

// Seven rows of five characters, '#' for a set pixel, or nullptr for a
// character the font does not have. '\xB0' is the degree sign.
const char* const* glyph(char c);

}  // namespace bmpgen
