#include "FloorImage.h"

#include "BinaryData.h"

//==============================================================================
FloorImage::FloorImage()
    : pictures (PedalPictures::getShared())
    , floorImage (pictures->get ({ BinaryData::Floor_png, BinaryData::Floor_pngSize }))
{
}

FloorImage::~FloorImage() = default;

//==============================================================================
void FloorImage::paint (juce::Graphics& g)
{
    if (floorImage.isNull())
        return;

    // The floor is opaque and has no shape to keep: it is stretched so that no
    // edge of the panel is ever left bare.
    g.drawImage (floorImage, getBounds().toFloat(), juce::RectanglePlacement::stretchToFit);
}

void FloorImage::resized()
{
}
