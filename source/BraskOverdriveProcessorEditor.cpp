#include "BraskOverdriveProcessorEditor.h"

BraskOverdriveProcessorEditor::BraskOverdriveProcessorEditor (BraskOverdriveAudioProcessor& p)
    : AudioProcessorEditor (p), processor (p)
{
    setSize (245, 385);
}

BraskOverdriveProcessorEditor::~BraskOverdriveProcessorEditor() = default;

void BraskOverdriveProcessorEditor::resized()
{
}
