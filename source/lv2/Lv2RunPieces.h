#pragma once

#include <lv2/atom/atom.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <optional>

//==============================================================================
/**
    The atom events of a run that the LV2 entry cuts into pieces: each piece gets
    the host's input events that fall in it, timed from the piece's start, and
    what the wrapper writes for a piece joins the host's output timed from the
    run's start. So every event is played once, in the piece it falls in, and none
    is lost (unless a buffer is full).

    Capacities are those of a sequence's body, as LV2 hosts give them (the size of
    the buffer less the atom header). Both run on the audio thread: no allocation,
    no lock.
*/
namespace Lv2RunPieces
{
    /** Empties piece and fills it with input's events from frame begin (all
        earlier ones too, for the first piece, begin 0) up to frame end, or to the
        last event when there is no end. A sequence timed in beats has all its
        events played in the first piece. An input that is not a sequence has none.
    */
    void takeInput (const LV2_Atom_Sequence* input, LV2_URID sequenceType, int64_t begin, std::optional<int64_t> end,
                    LV2_Atom_Sequence& piece, uint32_t pieceCapacity) noexcept;

    /** Appends piece's events to output, each moved later by offset frames. */
    void giveOutput (const LV2_Atom_Sequence& piece, LV2_URID sequenceType, int64_t offset,
                     LV2_Atom_Sequence& output, uint32_t outputCapacity) noexcept;
}
