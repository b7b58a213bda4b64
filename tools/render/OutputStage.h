#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

//==============================================================================
/**
    The back half of a render on a thread of its own: while the pedal works on
    the next stretch of the file, this stage measures, analyses, converts and
    writes the stretch before it. A fixed handful of slots circulates between
    the two, so memory stays the same however long the file is, and the order
    of the audio never changes.
*/
class OutputStage final
{
public:
    /** One stretch of the file: the samples exactly as read, the pedal's output,
        and (when asked for) the input as the pedal took it.
    */
    struct Slot
    {
        juce::AudioBuffer<double> exact;
        juce::AudioBuffer<float> output, input;
        int numSamples = 0;
    };

    /** consume runs on the stage's thread for each submitted slot, in order;
        returning false stops the stage (a failed write, say). Slots have room
        for the input only when keepInput is true. A stage of one slot starts no
        thread: submit() consumes the slot there and then.
    */
    OutputStage (int numSlots, int numChannels, int samplesPerSlot, bool keepInput, std::function<bool (Slot&)> consume);
    ~OutputStage();

    /** A free slot to fill, waiting for one if need be; nullptr once the stage has failed. */
    Slot* acquire();

    /** Hands a filled slot to the stage. */
    void submit (Slot* slot);

    /** Waits until every submitted slot is consumed and stops the thread.
        Returns false when any consume failed.
    */
    bool finish();

private:
    void run();

    std::vector<std::unique_ptr<Slot>> slots;
    std::function<bool (Slot&)> consume;

    std::mutex lock;
    std::condition_variable changed;
    std::deque<Slot*> freeSlots, filledSlots;
    bool finishing = false, failed = false;

    std::thread thread;

    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (OutputStage)
};
