#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

//==============================================================================
/** A few channels of samples side by side, allocated once. The memory is not
    cleared: a page of it is touched only when a sample is written there.
*/
template <typename Sample>
class ChannelBuffer final
{
public:
    void setSize (int numChannels, int numSamples)
    {
        data.reset (new Sample[(size_t) numChannels * (size_t) numSamples]);
        channels.resize ((size_t) numChannels);

        for (size_t channel = 0; channel < channels.size(); ++channel)
            channels[channel] = data.get() + channel * (size_t) numSamples;
    }

    Sample* const* getArrayOfWritePointers() noexcept { return channels.data(); }
    const Sample* const* getArrayOfReadPointers() const noexcept { return channels.data(); }
    Sample* getWritePointer (int channel) noexcept { return channels[(size_t) channel]; }
    const Sample* getReadPointer (int channel) const noexcept { return channels[(size_t) channel]; }

private:
    std::unique_ptr<Sample[]> data;
    std::vector<Sample*> channels;
};

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
        ChannelBuffer<double> exact;
        ChannelBuffer<float> output, input;
        int numSamples = 0;
    };

    /** consume runs on the stage's thread for each submitted slot, in order;
        returning false stops the stage (a failed write, say). Slots have room
        for the input only when keepInput is true. A stage of one slot starts no
        thread: submit() consumes the slot there and then.
    */
    OutputStage (int numSlots, int numChannels, int samplesPerSlot, bool keepInput, std::function<bool (Slot&)> consume);
    ~OutputStage();

    OutputStage (const OutputStage&) = delete;
    OutputStage& operator= (const OutputStage&) = delete;

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
};
