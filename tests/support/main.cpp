#include <gtest/gtest.h>
#include <juce_events/juce_events.h>

// Every case runs inside one framework initialiser, as inside a host.
int main (int argc, char** argv)
{
    ::testing::InitGoogleTest (&argc, argv);
    juce::ScopedJuceInitialiser_GUI juceInitialiser;
    return RUN_ALL_TESTS();
}
