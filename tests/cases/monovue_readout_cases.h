// monovue's readout texts, shared by the native tests of the routine forms
// and the Wine tests of the shipped text routines.
#pragma once

#include <string>

namespace cases {

// The readout kinds; N1 and N2 share their format.
enum Readout { kN1, kEgt, kN2, kFf, kFob, kFlaps };

// The formats the readouts use.
inline const char* formatOf(Readout r) {
    switch (r) {
        case kN1: case kN2: return "%03.1f";
        case kEgt: return "%03.0f";
        case kFf: return "%04.0f";
        case kFob: return "%06.0f";
        case kFlaps: return "%2.0f";
    }
    return "";
}

// A variable value and the whole text its format gives. The widths in the
// formats are minimums: a longer text is written in full, as far as the
// text buffer goes (see shown()).
struct ReadoutCase {
    Readout readout;
    double x;
    const char* text;
};

inline const ReadoutCase kReadoutCases[] = {
    // N1 and N2: the value as a single, one decimal.
    {kN1, 0, "0.0"},
    {kN1, 100, "100.0"},
    {kN1, 99.95, "99.9"},
    {kN1, 5.25, "5.2"},        // an exact tie: to even
    {kN1, 5.35, "5.3"},        // 5.3499999 as a single
    {kN1, -1, "-1.0"},
    {kN1, 123.45, "123.4"},    // 123.449997 as a single
    // EGT: Rankine to Celsius.
    {kEgt, 491.67, "000"},
    {kEgt, 1400, "505"},
    {kEgt, 400, "-51"},
    {kEgt, 1000, "283"},
    {kEgt, 558, "037"},
    {kEgt, 0, "-273"},
    // Fuel flow: divided by 27.24.
    {kFf, 0, "0000"},
    {kFf, 1000, "0037"},
    {kFf, 2724, "0100"},
    {kFf, -27.24, "-001"},
    // Fuel on board: divided by 0.454.
    {kFob, 454, "001000"},
    {kFob, 10000, "022026"},
    {kFob, 500000, "1101322"},  // beyond the width
    {kFob, 0, "000000"},
    // Flaps.
    {kFlaps, 5, " 5"},
    {kFlaps, 30, "30"},
    {kFlaps, 100, "100"},
    {kFlaps, 0, " 0"},
    // 3e38 as a single is 300000000549775575777803994281145270272.
    {kFlaps, 3e38, "300000000549775575777803994281145270272"},
};

// The cases of a readout kind; N2 takes N1's.
inline bool appliesTo(const ReadoutCase& c, Readout r) {
    return c.readout == (r == kN2 ? kN1 : r);
}

// What a readout shows of a whole text, in a text buffer of `capacity`
// bytes: the text, cut after capacity - 1 characters to leave room for the
// NUL.
inline std::string shown(const std::string& text, size_t capacity) { return text.substr(0, capacity - 1); }

}  // namespace cases
