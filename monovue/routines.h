// The arithmetic of monovue's 28 element routines, as instances
// of the runtime's routine forms; free of host records so the native tests
// run every one of them.
#pragma once

#include "../gaugert/forms.h"

namespace monovue {

// Text routines (readouts), by readout kind.
inline constexpr gaugert::TextForm kN1Text = gaugert::textForm("%03.1f");
inline constexpr gaugert::TextForm kEgtText =
    gaugert::textForm("%03.0f", gaugert::Transform::kRankineToCelsius);
inline constexpr gaugert::TextForm kN2Text = gaugert::textForm("%03.1f");
inline constexpr gaugert::TextForm kFfText =
    gaugert::textForm("%04.0f", gaugert::Transform::kDivide, 27.24);
inline constexpr gaugert::TextForm kFobText =
    gaugert::textForm("%06.0f", gaugert::Transform::kDivide, 0.454);
inline constexpr gaugert::TextForm kFlapsText = gaugert::textForm("%2.0f");

// EGT needles, bounded form: above P becomes Q, then below R becomes S.
// (The N1 needles are pass-through.)
inline constexpr gaugert::Bounds kEgtNeedle1{2000.0, 2000.0, 5.0, 5.0};
inline constexpr gaugert::Bounds kEgtNeedle2{1700.0, 2000.0, 500.0, 500.0};
inline constexpr gaugert::Bounds kEgtNeedle3{2000.0, 2000.0, 500.0, 500.0};
inline constexpr gaugert::Bounds kEgtNeedle4{2000.0, 2000.0, 500.0, 500.0};

// Spoiler legend (element 29): 1 when armed (a > 0), 2 when deployed
// (d > 16000) whatever a is, else 0.
constexpr double spoilerState(double armed, double position) {
    return gaugert::above(gaugert::above(0.0, armed, 0.0, 1.0), position, 16000.0, 2.0);
}

// Parking-brake legend (element 28): 1 when x > 0, else x itself unchanged.
constexpr double parkingBrakeState(double x) { return x > 0.0 ? 1.0 : x; }

}  // namespace monovue
