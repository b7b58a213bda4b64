#include "EffectBaseImage.h"
#include "gui/PanelLayout.h"

#include "BinaryData.h"

//==============================================================================
EffectBaseImage::EffectBaseImage()
    : pictures (PedalPictures::getShared())
    , onImage (pictures->get ({ BinaryData::BraskOverdriveOnRed_png, BinaryData::BraskOverdriveOnRed_pngSize }))
    , offImage (pictures->get ({ BinaryData::BraskOverdriveOff_png, BinaryData::BraskOverdriveOff_pngSize }))
    , currentImage (onImage)
{
}

EffectBaseImage::~EffectBaseImage() = default;

//==============================================================================
juce::Rectangle<int> EffectBaseImage::getBodyBox() const
{
    const auto w = (float) getWidth();
    const auto h = (float) getHeight();
    const auto margin = 1.0f - bodyScale;

    // Only the margins follow bodyScale; the box itself is always 90 % of the panel.
    const auto left = (int) (PanelLayout::bodyMarginLeft * (w * margin));
    const auto top = (int) (PanelLayout::bodyMarginTop * h * margin);

    return { left, top, (int) (PanelLayout::bodyBox * w), (int) (PanelLayout::bodyBox * h) };
}

void EffectBaseImage::paint (juce::Graphics& g)
{
    if (currentImage.isNull())
        return;

    g.drawImageWithin (currentImage,
                       getBodyBox().getX(), getBodyBox().getY(),
                       getBodyBox().getWidth(), getBodyBox().getHeight(),
                       juce::RectanglePlacement::centred,
                       false);
}

void EffectBaseImage::resized()
{
}

//==============================================================================
void EffectBaseImage::showOn()
{
    currentImage = onImage;
}

void EffectBaseImage::showOff()
{
    currentImage = offImage;
}
