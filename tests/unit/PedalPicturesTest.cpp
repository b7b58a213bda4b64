#include "plugin/BraskOverdriveAudioProcessor.h"
#include "MessageLoop.h"
#include "gui/PedalPictures.h"

#include <gtest/gtest.h>

#include <memory>

// The editor's pictures as a host lives with them: decoded at the first opening,
// kept while any pedal lives however long the message loop idles between
// openings, and freed with the last pedal.

namespace
{
    constexpr int numPictures = 304;  // 301 knob frames, two body pictures, the floor

    // Opens the pedal's editor as a host does, lets the loop deliver what the
    // opening posted, and closes it again; gives the number of pictures decoded.
    int decodesForOneOpening (BraskOverdriveAudioProcessor& pedal)
    {
        const auto before = PedalPictures::getNumDecodedInProcess();
        std::unique_ptr<juce::AudioProcessorEditor> editor (pedal.createEditor());
        EXPECT_NE (editor, nullptr);
        brask::runMessageLoopFor (100);
        editor.reset();
        return PedalPictures::getNumDecodedInProcess() - before;
    }
}

//==============================================================================
TEST (PedalPictures, AReopenedEditorDecodesNothingAfterAnyPauseWhileAPedalLives)
{
    std::weak_ptr<PedalPictures> shared;

    {
        auto first = std::make_unique<BraskOverdriveAudioProcessor>();
        shared = PedalPictures::getShared();

        EXPECT_EQ (decodesForOneOpening (*first), numPictures);

        // Longer than any cache timer the framework runs (its image cache lets go after 5 s).
        for (const auto idleMilliseconds : { 500, 7000 })
        {
            brask::runMessageLoopFor (idleMilliseconds);
            EXPECT_EQ (decodesForOneOpening (*first), 0) << "after " << idleMilliseconds << " ms idle";
        }

        // Another pedal in the same process finds them decoded, also once the first has gone.
        BraskOverdriveAudioProcessor second;
        first.reset();
        brask::runMessageLoopFor (200);
        EXPECT_EQ (decodesForOneOpening (second), 0);
        EXPECT_FALSE (shared.expired());
    }

    // The last pedal gone, so are its pictures: the next pedal decodes them afresh.
    EXPECT_TRUE (shared.expired());

    BraskOverdriveAudioProcessor later;
    EXPECT_EQ (decodesForOneOpening (later), numPictures);
}
