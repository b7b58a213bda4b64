#pragma once

#include <algorithm>
#include <cmath>

//==============================================================================
/**
    The knob law as the tests hold the pedal to it, in double precision and
    written from the pedal's scales, not from its code: a knob position taken as
    0..1 (NaN standing for the middle), 0 to +48 dB of drive, a tone cutoff from
    1 kHz (dark) to 11 kHz (bright), and a level that is the gain itself, with
    -100 dB and below as true silence.
*/
namespace KnobLaw
{
    inline double position (double value) { return std::isnan (value) ? 0.5 : std::clamp (value, 0.0, 1.0); }

    inline double driveGain (double knob) { return std::pow (10.0, position (knob) * 48.0 / 20.0); }
    inline double toneCutoffHz (double knob) { return position (knob) * 10000.0 + 1000.0; }
    inline double levelGain (double knob) { return position (knob) > 1.0e-5 ? position (knob) : 0.0; }
}
