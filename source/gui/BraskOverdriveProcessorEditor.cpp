#include "BraskOverdriveProcessorEditor.h"
#include "PedalPictures.h"
#include "plugin/EditorSide.h"

//==============================================================================
BraskOverdriveProcessorEditor::BraskOverdriveProcessorEditor (BraskOverdriveAudioProcessor& p)
    : BraskOverdriveProcessorEditor (p, getPrimaryUserAreaHeight())
{
}

BraskOverdriveProcessorEditor::BraskOverdriveProcessorEditor (BraskOverdriveAudioProcessor& p,
                                                              std::optional<int> primaryUserAreaHeight,
                                                              KnobImage::FrameLoader loadKnobFrame)
    : AudioProcessorEditor (p)
    , processorRef (p)
    , panel (processorRef, loadKnobFrame)
{
    panelWidth = 245.0f;
    panelHeight = 385.0f;
    // 7:11 as the single-precision quotient, widened: every size below derives from this exact value.
    aspectRatio = 245.0f / 385.0f;

    // A big screen gets a bigger pedal; a small one never gets a smaller one than the default.
    if (primaryUserAreaHeight.has_value())
    {
        const auto userHeight = (float) *primaryUserAreaHeight;
        const auto target = (float) ((double) userHeight * displayHeightShare);

        if (target > panelHeight)
        {
            panelHeight = target;
            panelWidth = (float) ((double) target * aspectRatio);
        }
    }

    addAndMakeVisible (panel);

    setResizeLimits (minimumWidth, (int) (minimumWidth / aspectRatio),
                     maximumWidth, (int) (maximumWidth / aspectRatio));
    getConstrainer()->setFixedAspectRatio (aspectRatio);

    // Applied as computed: the limits only govern later resizes by the host.
    setSize ((int) panelWidth, (int) panelHeight);
}

BraskOverdriveProcessorEditor::~BraskOverdriveProcessorEditor() = default;

//==============================================================================
void BraskOverdriveProcessorEditor::resized()
{
    panel.setBounds (0, 0, getWidth(), getHeight());
}

//==============================================================================
std::optional<int> BraskOverdriveProcessorEditor::getPrimaryUserAreaHeight()
{
    if (auto* display = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay())
        return display->userArea.getHeight();

    return std::nullopt;
}

//==============================================================================
juce::AudioProcessorEditor* EditorSide::createEditor (BraskOverdriveAudioProcessor& pedal)
{
    return new BraskOverdriveProcessorEditor (pedal);
}

std::shared_ptr<void> EditorSide::keepResourcesAlive()
{
    return PedalPictures::getShared();
}
