#include "Lv2RunPieces.h"

#include <lv2/atom/util.h>

#include <algorithm>

namespace Lv2RunPieces
{
    void takeInput (const LV2_Atom_Sequence* input, LV2_URID sequenceType, int64_t begin, std::optional<int64_t> end,
                    LV2_Atom_Sequence& piece, uint32_t pieceCapacity) noexcept
    {
        piece.atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
        piece.body = { 0, 0 };

        if (input == nullptr || input->atom.type != sequenceType || input->atom.size < sizeof (LV2_Atom_Sequence_Body))
            return;

        LV2_ATOM_SEQUENCE_FOREACH (input, event)
        {
            const auto frame = input->body.unit == 0 ? event->time.frames : 0;

            if (frame < begin && begin > 0)
                continue;

            if (end && frame >= *end)
                break;

            if (auto* copy = lv2_atom_sequence_append_event (&piece, pieceCapacity, event))
                copy->time.frames = std::max<int64_t> (0, frame - begin);
        }
    }

    void giveOutput (const LV2_Atom_Sequence& piece, LV2_URID sequenceType, int64_t offset,
                     LV2_Atom_Sequence& output, uint32_t outputCapacity) noexcept
    {
        if (piece.atom.type != sequenceType || piece.atom.size < sizeof (LV2_Atom_Sequence_Body))
            return;

        LV2_ATOM_SEQUENCE_FOREACH (&piece, event)
            if (auto* copy = lv2_atom_sequence_append_event (&output, outputCapacity, event))
                copy->time.frames += offset;
    }
}
