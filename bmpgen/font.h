// The project's pixel fonts for legends drawn into gauge bitmaps. A glyph is
// up to seven rows of equal width, '#' for a set pixel; a font's glyphs may
// differ in width.
#pragma once

#include <cstddef>

namespace bmpgen {

struct Glyph {
    char c;
    const char* rows[7];
    int width() const;
};

struct Font {
    const Glyph* glyphs;
    size_t count;
    int height;  // rows drawn of each glyph
    // The glyph of `c`, or nullptr when the font does not have it.
    const Glyph* find(char c) const;
};

// 5 x 7: the legends of every gauge. '\xB0' is the degree sign.
extern const Font kFont5x7;
// 5 rows, glyphs 1 to 4 columns wide: labels in 5-pixel-high room.
extern const Font kFontSmall;
// 3 x 7: long legends in narrow icons.
extern const Font kFontCondensed;

}  // namespace bmpgen
