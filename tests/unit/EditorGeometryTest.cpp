#include "gui/BraskOverdriveProcessorEditor.h"

#include <gtest/gtest.h>

#include <optional>

// The editor window as a host opens and resizes it: a size fitted to the
// primary display's usable height, the pedal's 7:11 proportions kept through
// host resizes, and the panel always filling the window exactly.

namespace
{
    constexpr double pedalAspectRatio = (double) (245.0f / 385.0f);

    void expectPanelFillsEditor (juce::AudioProcessorEditor& editor)
    {
        // The panel is the only child: no framework splash is laid over the pedal.
        ASSERT_EQ (editor.getNumChildComponents(), 1);
        EXPECT_EQ (editor.getChildComponent (0)->getBounds(), editor.getLocalBounds());
    }
}

//==============================================================================
TEST (EditorGeometry, InitialSizeFollowsThePrimaryDisplaysUsableHeight)
{
    struct Case
    {
        std::optional<int> userAreaHeight;
        int width, height;
    };

    const Case cases[] = {
        { std::nullopt, 245, 385 },
        { 592, 245, 385 },
        { 593, 245, 385 },  // the target exceeds 385 but truncates back to it
        { 600, 248, 390 },
        { 768, 317, 499 },
        { 1040, 430, 676 },
        { 1392, 575, 904 },
        { 2160, 893, 1404 },
        { 3000, 1240, 1950 },  // beyond the resize limits, applied as computed
    };

    BraskOverdriveAudioProcessor processor;

    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.userAreaHeight.has_value() ? juce::String (*c.userAreaHeight).toStdString() : "no display");

        BraskOverdriveProcessorEditor editor (processor, c.userAreaHeight);

        EXPECT_EQ (editor.getWidth(), c.width);
        EXPECT_EQ (editor.getHeight(), c.height);
        expectPanelFillsEditor (editor);

        auto* constrainer = editor.getConstrainer();
        ASSERT_NE (constrainer, nullptr);
        EXPECT_EQ (constrainer->getMinimumWidth(), 200);
        EXPECT_EQ (constrainer->getMinimumHeight(), 314);
        EXPECT_EQ (constrainer->getMaximumWidth(), 1200);
        EXPECT_EQ (constrainer->getMaximumHeight(), 1885);
        EXPECT_EQ (constrainer->getFixedAspectRatio(), pedalAspectRatio);
        EXPECT_TRUE (editor.isResizable());
    }
}

TEST (EditorGeometry, OpensAtTheDefaultSizeWhenTheDesktopHasNoDisplay)
{
    if (juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr)
        GTEST_SKIP() << "a display is connected; the unit tests run without one";

    BraskOverdriveAudioProcessor processor;
    BraskOverdriveProcessorEditor editor (processor);

    EXPECT_EQ (editor.getWidth(), 245);
    EXPECT_EQ (editor.getHeight(), 385);
    expectPanelFillsEditor (editor);
}

TEST (EditorGeometry, HostResizesKeepThePedalsProportionsAndLimits)
{
    const juce::Rectangle<int> requests[] = {
        { 0, 0, 300, 300 },
        { 0, 0, 430, 676 },
        { 0, 0, 150, 900 },
        { 0, 0, 900, 150 },
        { 0, 0, 1000, 1571 },
        { 0, 0, 2000, 2000 },
        { 0, 0, 100, 100 },
    };

    BraskOverdriveAudioProcessor processor;
    BraskOverdriveProcessorEditor editor (processor, std::nullopt);

    for (const auto& request : requests)
    {
        SCOPED_TRACE (request.toString().toStdString());

        editor.setBoundsConstrained (request);

        const auto w = editor.getWidth();
        const auto h = editor.getHeight();

        EXPECT_GE (w, 200);
        EXPECT_LE (w, 1200);
        EXPECT_GE (h, 314);
        EXPECT_LE (h, 1885);

        // Integer sizes: the ratio holds to within one pixel of height.
        EXPECT_NEAR ((double) w / pedalAspectRatio, (double) h, 1.0);

        expectPanelFillsEditor (editor);
    }
}
