#include <gtest/gtest.h>
#include <juce_gui_basics/juce_gui_basics.h>

// Every case runs inside one framework initialiser, as inside a host.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    return RUN_ALL_TESTS();
}
