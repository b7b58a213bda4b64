#include "lv2/Lv2RunPieces.h"

#include <gtest/gtest.h>

#include <lv2/atom/util.h>

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

// A run cut into pieces hands every host event to the piece it falls in, once,
// timed from that piece's start; what the pieces write comes back timed from the
// run's start. Events carry their own number as an atom:Int body, so that each
// can be told apart wherever it lands.

namespace
{
    constexpr LV2_URID sequenceType = 1, intType = 2;

    struct Sequence
    {
        explicit Sequence (size_t bytes = 4096) : words (bytes / sizeof (uint64_t)) { clear(); }

        LV2_Atom_Sequence& get() { return *reinterpret_cast<LV2_Atom_Sequence*> (words.data()); }
        uint32_t capacity() const { return (uint32_t) (words.size() * sizeof (uint64_t) - sizeof (LV2_Atom)); }

        void clear()
        {
            get().atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
            get().body = { 0, 0 };
        }

        void add (int64_t frame, int32_t number)
        {
            struct
            {
                LV2_Atom_Event event;
                int32_t body;
            } event { { { frame }, { sizeof (int32_t), intType } }, number };
            ASSERT_NE (lv2_atom_sequence_append_event (&get(), capacity(), &event.event), nullptr);
        }

        // (frame, number) of each event, in order.
        std::vector<std::pair<int64_t, int32_t>> events()
        {
            std::vector<std::pair<int64_t, int32_t>> result;

            LV2_ATOM_SEQUENCE_FOREACH (&get(), event)
            {
                int32_t number;
                std::memcpy (&number, event + 1, sizeof (number));
                result.emplace_back (event->time.frames, number);
            }

            return result;
        }

        std::vector<uint64_t> words;
    };

    using Events = std::vector<std::pair<int64_t, int32_t>>;
}

TEST (Lv2RunPieces, EveryInputEventReachesThePieceItFallsInOnce)
{
    // A run of 150 frames in pieces of 64: [0, 64), [64, 128), [128, 150).
    Sequence input;
    const Events sent { { 0, 1 }, { 5, 2 }, { 63, 3 }, { 64, 4 }, { 64, 5 }, { 127, 6 }, { 128, 7 }, { 149, 8 } };

    for (const auto& [frame, number] : sent)
        input.add (frame, number);

    const struct
    {
        int64_t begin;
        std::optional<int64_t> end;
        Events expected;
    } pieces[] = {
        { 0, 64, { { 0, 1 }, { 5, 2 }, { 63, 3 } } },
        { 64, 128, { { 0, 4 }, { 0, 5 }, { 63, 6 } } },
        { 128, std::nullopt, { { 0, 7 }, { 21, 8 } } },
    };

    Events replayed;

    for (const auto& piece : pieces)
    {
        SCOPED_TRACE (piece.begin);
        Sequence got;
        Lv2RunPieces::takeInput (&input.get(), sequenceType, piece.begin, piece.end, got.get(), got.capacity());
        EXPECT_EQ (got.events(), piece.expected);

        for (const auto& [frame, number] : got.events())
            replayed.emplace_back (frame + piece.begin, number);
    }

    EXPECT_EQ (replayed, sent) << "an event was lost, played twice or moved";
}

TEST (Lv2RunPieces, InputsWithoutFramesOrWithoutEventsAreHandledWhole)
{
    // Timed in beats: all in the first piece, none after.
    Sequence beats;
    beats.get().body.unit = 99;
    beats.add (0, 1);
    beats.add (0, 2);

    Sequence first, later;
    Lv2RunPieces::takeInput (&beats.get(), sequenceType, 0, 64, first.get(), first.capacity());
    Lv2RunPieces::takeInput (&beats.get(), sequenceType, 64, std::nullopt, later.get(), later.capacity());
    EXPECT_EQ (first.events(), (Events { { 0, 1 }, { 0, 2 } }));
    EXPECT_TRUE (later.events().empty());

    // No input, or an atom that is not a sequence: an empty piece, never a crash.
    Sequence notASequence;
    notASequence.get().atom.type = intType;

    for (const auto* input : { static_cast<const LV2_Atom_Sequence*> (nullptr), static_cast<const LV2_Atom_Sequence*> (&notASequence.get()) })
    {
        Sequence piece;
        piece.add (3, 9); // left from a former piece
        Lv2RunPieces::takeInput (input, sequenceType, 0, 64, piece.get(), piece.capacity());
        EXPECT_TRUE (piece.events().empty());
        EXPECT_EQ (piece.get().atom.type, sequenceType);
    }
}

TEST (Lv2RunPieces, ThePiecesOutputJoinsTheHostsInOrder)
{
    Sequence output;
    const std::pair<int64_t, Events> pieces[] = { { 0, { { 0, 1 }, { 10, 2 } } }, { 64, { { 3, 3 } } }, { 128, {} } };

    for (const auto& [offset, events] : pieces)
    {
        Sequence piece;
        for (const auto& [frame, number] : events)
            piece.add (frame, number);
        Lv2RunPieces::giveOutput (piece.get(), sequenceType, offset, output.get(), output.capacity());
    }

    EXPECT_EQ (output.events(), (Events { { 0, 1 }, { 10, 2 }, { 67, 3 } }));

    // A full output keeps what fits and drops the rest, without writing past its end.
    Sequence small (64);
    Sequence many;
    for (int32_t number = 0; number < 10; ++number)
        many.add (number, number);
    Lv2RunPieces::giveOutput (many.get(), sequenceType, 0, small.get(), small.capacity());
    EXPECT_EQ (small.events().size(), 2u);
    EXPECT_LE (small.get().atom.size, small.capacity());
}
