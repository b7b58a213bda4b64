// A host drives the pedal with calls in whatever order its user's session makes
// them: re-preparing at another rate in the middle of a song, handing over a
// block longer than it promised, restoring a project while the editor is open.
// This driver reads the fuzzer's bytes as such a session, one call after the
// other, and checks after each call that the pedal kept its promises.
//
// Input layout: a sequence of calls, each one byte (the call) followed by the
// bytes of its arguments; see `runOneCall`.

#include "FuzzSupport.h"
#include "gui/PedalPictures.h"

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace juce
{
    // The framework's own message dispatch on Linux: runs what is pending and returns.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

using namespace brask::fuzz;

namespace
{
    enum class HostCall
    {
        prepare,
        process,
        turnDrive,
        turnTone,
        turnLevel,
        pressFootswitch,
        save,
        restore,
        openEditor,
        closeEditor,
        resizeEditor,
        deliverMessages,
        release,
        changeLayout,
        numCalls
    };

    // Enough audio per input for every ramp and filter to move, few enough for many inputs a second.
    constexpr int sampleBudget = 1 << 20;
    constexpr int longestBlock = 32768;

    //==============================================================================
    class Session final
    {
    public:
        explicit Session (ByteReader& bytes)
            : input (bytes)
        {
        }

        ~Session()
        {
            // The host closes the window before it drops the plug-in.
            editor.reset();
        }

        void run()
        {
            while (! input.isExhausted())
                runOneCall ((HostCall) (input.byte() % (int) HostCall::numCalls));

            editor.reset();
            deliverMessages();
            checkChainFollowsKnobs (processor, preparedRate);
            saveAndCheck (processor, 0);
        }

    private:
        void runOneCall (HostCall call)
        {
            switch (call)
            {
                case HostCall::prepare:
                    preparedRate = sampleRateFor (input);
                    preparedBlockSize = 1 + input.word() % 8192;
                    processor.prepareToPlay (preparedRate, preparedBlockSize);
                    break;

                case HostCall::process:
                    process();
                    break;

                case HostCall::turnDrive:
                    processor.setDrive (input.knobValue());
                    checkChainFollowsKnobs (processor, preparedRate);
                    break;

                case HostCall::turnTone:
                    processor.setTone (input.knobValue());
                    checkChainFollowsKnobs (processor, preparedRate);
                    break;

                case HostCall::turnLevel:
                    processor.setLevel (input.knobValue());
                    checkChainFollowsKnobs (processor, preparedRate);
                    break;

                case HostCall::pressFootswitch:
                    processor.setEffectOn (! processor.effectOn.load());
                    break;

                case HostCall::save:
                    lastSaved = saveAndCheck (processor, input.byte() % 8);
                    lastSaved.removeSection (0, lastSaved.getSize() - 16);
                    break;

                case HostCall::restore:
                    restore();
                    checkChainFollowsKnobs (processor, preparedRate);
                    break;

                case HostCall::openEditor:
                    if (editor == nullptr)
                        editor.reset (processor.createEditorIfNeeded());
                    break;

                case HostCall::closeEditor:
                    editor.reset();
                    break;

                case HostCall::resizeEditor:
                {
                    const auto width = (int) input.word() % 4000 - 100;
                    const auto height = (int) input.word() % 4000 - 100;

                    if (editor != nullptr)
                        editor->setSize (width, height);

                    break;
                }

                case HostCall::deliverMessages:
                    deliverMessages();
                    checkChainFollowsKnobs (processor, preparedRate);
                    break;

                case HostCall::release:
                    processor.releaseResources();
                    break;

                case HostCall::changeLayout:
                    changeLayout();
                    break;

                case HostCall::numCalls:
                    break;
            }
        }

        void process()
        {
            const auto promised = preparedBlockSize > 0 ? preparedBlockSize : 512;
            const auto lengthChoice = input.byte();
            const auto amount = (int) input.word();
            int length = 0;

            switch (lengthChoice % 4)
            {
                case 0: length = amount % (promised + 1); break;                 // within the promise
                case 1: length = promised; break;                                // exactly as promised
                case 2: length = promised + 1 + amount % (3 * promised); break;  // longer than promised
                default: length = amount % (longestBlock + 1); break;            // anything
            }

            length = juce::jmin (length, longestBlock, samplesLeft);

            // Mostly the bus's channels; sometimes a host that gets the count wrong.
            const auto channelChoice = input.byte();
            const auto numChannels = channelChoice < 192 ? processor.getTotalNumOutputChannels()
                                                         : channelChoice % 5;

            block.resize (numChannels, length);
            block.fill (input);

            auto buffer = block.asBuffer();
            juce::MidiBuffer midi;
            processor.processBlock (buffer, midi);
            block.checkOutput ("processBlock");

            samplesLeft -= length;
        }

        void restore()
        {
            juce::MemoryBlock blob;

            switch (input.byte() % 4)
            {
                case 0:
                    // A project reloaded as it was saved.
                    blob = lastSaved;
                    break;

                case 1:
                    // The saved setting with something behind it, as a wrapper's trailer.
                    blob = lastSaved;
                    blob.append ("JUCEPrivateData", 15);
                    break;

                case 2:
                {
                    // Anything a damaged or foreign project could hold.
                    const auto junk = input.bytes (input.byte() % 40);
                    blob.append (junk.data(), junk.size());
                    break;
                }

                default:
                {
                    // Four fields, each any float.
                    for (int field = 0; field < 4; ++field)
                    {
                        const auto bits = bitsOf (input.knobValue());
                        const std::uint8_t le[] = { (std::uint8_t) bits, (std::uint8_t) (bits >> 8),
                                                    (std::uint8_t) (bits >> 16), (std::uint8_t) (bits >> 24) };
                        blob.append (le, 4);
                    }
                    break;
                }
            }

            processor.setStateInformation (blob.getData(), (int) blob.getSize());
        }

        void changeLayout()
        {
            const auto mono = juce::AudioChannelSet::mono();
            const auto stereo = juce::AudioChannelSet::stereo();
            juce::AudioProcessor::BusesLayout layout;

            switch (input.byte() % 4)
            {
                case 0:
                    layout.inputBuses.add (mono);
                    layout.outputBuses.add (mono);
                    break;
                case 1:
                    layout.inputBuses.add (stereo);
                    layout.outputBuses.add (stereo);
                    break;
                case 2:
                    layout.inputBuses.add (mono);
                    layout.outputBuses.add (stereo);
                    break;
                default:
                    layout.inputBuses.add (juce::AudioChannelSet::disabled());
                    layout.outputBuses.add (stereo);
                    break;
            }

            // A refused layout leaves the current one; either way the host prepares next.
            processor.setBusesLayout (layout);
        }

        static void deliverMessages()
        {
            for (int i = 0; i < 256 && juce::dispatchNextMessageOnSystemQueue (true); ++i)
            {
            }
        }

        ByteReader& input;
        BraskOverdriveAudioProcessor processor;
        std::unique_ptr<juce::AudioProcessorEditor> editor;
        HostBlock block;
        juce::MemoryBlock lastSaved;
        double preparedRate = 0.0;
        int preparedBlockSize = 0;
        int samplesLeft = sampleBudget;
    };
}

//==============================================================================
extern "C" int LLVMFuzzerInitialize (int*, char***)
{
    // The framework's singletons and message thread, as inside any host; alive until the process ends.
    static auto* framework = new juce::ScopedJuceInitialiser_GUI();
    juce::ignoreUnused (framework);

    // Each input makes and drops its own pedals; hold the pictures as another pedal
    // in the session would, or every input would decode the whole pedal again.
    static auto pictures = PedalPictures::getShared();
    juce::ignoreUnused (pictures);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput (const std::uint8_t* data, size_t size)
{
    ByteReader input (data, size);
    Session session (input);
    session.run();
    return 0;
}
