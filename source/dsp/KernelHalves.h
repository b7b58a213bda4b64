#pragma once

#include "KernelLayout.h"

//==============================================================================
/*
    A single channel uses only one lane of the registers that carry two channels
    through the feedback loops. To fill the other, a stretch of n samples is cut
    in two: the first half (n - n/2 samples) runs in lane 0 from the channel's
    state, the second (n/2 samples) in lane 1 from silence, side by side, and the
    second half is then put right by what the state at the middle adds to it.

    Why that is exact. Every stage before the clipper (the low cut) and every stage
    after it (DC blocker, blend, tone filters, level) is linear and time-invariant,
    with state x, input u and output y:

        x[j+1] = A·x[j] + B·u[j]        y[j] = C·x[j] + D·u[j]

    Started from a state X instead of zero, the same input gives

        y[j] = (what it gives from zero)[j] + C·A^j·X
        x[j] = (what it ends on from zero)[j] + A^j·X

    so the second half's true output is lane 1's output plus the free response
    C·A^j·X of the state X at the middle, and its true end state is lane 1's end
    state plus A^m·X after its m samples. The clipper in between is not linear, so
    the correction is made twice, on each side of it:

    - Before the clipper, the low cut's state S at the middle (s' = a·s + b·x,
      output c·(x - s)) adds -c·a^j·S to its output j samples on and leaves a^m·S.
      Added before the drive, so the clipper sees exactly what it would have seen
      playing the channel straight through (lowCutFreeOutput, lowCutFreeState).

    - After the clipper, the four states (DC blocker's two, then the two tone
      filters') form one linear system. The tables hold, for each state at one,
      its output before the level j samples on (toneFreeOutput) and all four
      states after j samples (toneFreeStates, the columns of A^j). The second
      half's output gains level·Σ state·table, and the end state is lane 1's
      plus A^m times the middle state. The blend's dry share comes from the input
      alone, so it needs no correction; the blend's wet weight is part of A,
      which is why halves are played only while the weights hold still.

    An odd n gives the second half one sample less: its lane starts one sample
    late with a silent sample, which leaves its silent state silent, and reads
    each table one entry earlier (entry 0 of each output table is zero for that).

    The DC blocker's part of the tables depends on the sample rate alone and is
    filled at prepare; the tone filters' part follows the tone knob and is worked
    out again, as far as a stretch needs, after the tone moves.

    The sum differs from playing the channel straight through by rounding only;
    the tests hold both against the same independent model.
*/
namespace KernelHalves
{
    /** The low cut's free response, from its coefficients in `filters`. */
    void fillLowCutFreeResponse (KernelLayout::FilterState& filters) noexcept;

    /** The DC blocker's part of the free states after the clipper, from its
        coefficients in `filters`; marks the tone filters' part as not worked out.
    */
    void fillDcBlockerFreeStates (KernelLayout::FilterState& filters) noexcept;

    /** Works the tone filters' part of the tables out up to `length` samples,
        for the blend's settled wet weight `wet`.
    */
    void extendToneFreeResponse (KernelLayout::FilterState& filters, int length, double wet) noexcept;
}
