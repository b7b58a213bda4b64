// A long session in a host: the built VST3 module loaded through the framework's
// VST3 hosting, an audio thread streaming a guitar-like signal through it at the
// pace of a sound card, and a message thread doing what a restless user and a
// DAW do meanwhile: turning the knobs and pressing the footswitch (a hosted pedal
// takes both through its saved state), saving, reloading damaged projects,
// bypassing, re-preparing at other rates and opening and closing the editor.
//
// It stops by itself after the given time and fails when a sample came out
// non-finite or when the process's resident memory kept growing after warm-up.
//
//   brask_soak [--seconds 600] [--speed 1] [--module path/to/Brask\ Overdrive.vst3]
//
// The editor opens only with a display (run it under xvfb-run; scripts/soak does).

#include "BareXServer.h"
#include "BuiltPaths.h"
#include "plugin/PedalSettings.h"

#include <juce_audio_processors/juce_audio_processors.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <thread>

#include <unistd.h>

namespace juce
{
    // The framework's own message dispatch on Linux: runs what is pending and returns.
    bool dispatchNextMessageOnSystemQueue (bool returnIfNoPendingMessages);
}

namespace
{
    using Clock = std::chrono::steady_clock;

    constexpr auto megabyte = 1024.0 * 1024.0;

    // Growth after warm-up that still counts as flat: the allocator's own slack.
    constexpr auto allowedGrowthMegabytes = 8.0;
    constexpr auto warmUpSeconds = 60.0;

    double residentMegabytes()
    {
        long pages = 0, resident = 0;

        if (auto* statm = std::fopen ("/proc/self/statm", "r"))
        {
            if (std::fscanf (statm, "%ld %ld", &pages, &resident) != 2)
                resident = 0;

            std::fclose (statm);
        }

        return (double) resident * (double) sysconf (_SC_PAGESIZE) / megabyte;
    }

    void deliverMessages()
    {
        for (int i = 0; i < 256 && juce::dispatchNextMessageOnSystemQueue (true); ++i)
        {
        }
    }

    //==============================================================================
    /** The component state inside the framework host's own state, so that the
        knobs and the footswitch can be set as a host that edits a project would.
    */
    class HostedState final
    {
    public:
        explicit HostedState (juce::AudioPluginInstance& pluginToUse)
            : plugin (pluginToUse)
        {
            juce::MemoryBlock hostState;
            plugin.getStateInformation (hostState);
            xml = juce::AudioProcessor::getXmlFromBinary (hostState.getData(), (int) hostState.getSize());

            if (xml != nullptr)
                if (auto* component = xml->getChildByName ("IComponent"))
                    trailer.fromBase64Encoding (component->getAllSubText());

            // Everything behind the pedal's sixteen bytes belongs to the wrapper.
            if (trailer.getSize() >= 16)
                trailer.removeSection (0, 16);
        }

        bool isValid() const noexcept { return xml != nullptr && xml->getChildByName ("IComponent") != nullptr; }

        void restore (const void* pedalBytes, size_t numBytes)
        {
            juce::MemoryBlock component (pedalBytes, numBytes);
            component.append (trailer.getData(), trailer.getSize());

            auto* element = xml->getChildByName ("IComponent");
            element->deleteAllTextElements();
            element->addTextElement (component.toBase64Encoding());

            juce::MemoryBlock hostState;
            juce::AudioProcessor::copyXmlToBinary (*xml, hostState);
            plugin.setStateInformation (hostState.getData(), (int) hostState.getSize());
        }

        void restoreSettings (float drive, float tone, float level, bool on)
        {
            const auto pedal = PedalSettings { drive, tone, level, on }.toBytes();
            restore (pedal.data(), pedal.size());
        }

    private:
        juce::AudioPluginInstance& plugin;
        std::unique_ptr<juce::XmlElement> xml;
        juce::MemoryBlock trailer;
    };

    //==============================================================================
    /** The sound card's side: one thread pulling blocks through the plug-in. */
    class AudioThread final
    {
    public:
        AudioThread (juce::AudioPluginInstance& pluginToUse, double speedToUse)
            : plugin (pluginToUse)
            , speed (speedToUse)
        {
        }

        ~AudioThread() { stop(); }

        void prepare (double newRate, int newBlockSize)
        {
            const std::lock_guard<std::mutex> hold (hostLock);
            plugin.releaseResources();
            plugin.prepareToPlay (newRate, newBlockSize);
            rate = newRate;
            blockSize = newBlockSize;
            buffer.setSize (plugin.getTotalNumOutputChannels(), newBlockSize);
        }

        void start()
        {
            running = true;
            thread = std::thread ([this] { run(); });
        }

        void stop()
        {
            running = false;

            if (thread.joinable())
                thread.join();
        }

        std::atomic<long long> samplesProcessed { 0 }, blocksProcessed { 0 }, nonFiniteSamples { 0 };
        std::atomic<double> audioSeconds { 0.0 };
        std::atomic<float> peak { 0.0f };

    private:
        void run()
        {
            juce::Random random (1234);
            double phase = 0.0;
            auto due = Clock::now();

            while (running)
            {
                double secondsOfThisBlock = 0.0;

                {
                    const std::lock_guard<std::mutex> hold (hostLock);

                    // Hosts hand over full blocks mostly, and shorter ones at loop points.
                    const auto length = random.nextInt (8) == 0 ? 1 + random.nextInt (blockSize) : blockSize;
                    juce::AudioBuffer<float> block (buffer.getArrayOfWritePointers(), buffer.getNumChannels(), length);

                    // A plucked-string-like signal: a decaying chord with some hiss.
                    for (int i = 0; i < length; ++i)
                    {
                        phase += 1.0 / rate;
                        const auto envelope = std::exp (-3.0 * std::fmod (phase, 2.0));
                        const auto x = envelope * (0.4 * std::sin (2.0 * juce::MathConstants<double>::pi * 110.0 * phase) + 0.3 * std::sin (2.0 * juce::MathConstants<double>::pi * 164.8 * phase) + 0.2 * std::sin (2.0 * juce::MathConstants<double>::pi * 220.0 * phase))
                                       + 0.01 * (random.nextDouble() - 0.5);

                        for (int c = 0; c < block.getNumChannels(); ++c)
                            block.setSample (c, i, (float) x);
                    }

                    juce::MidiBuffer midi;
                    plugin.processBlock (block, midi);

                    for (int c = 0; c < block.getNumChannels(); ++c)
                    {
                        for (int i = 0; i < length; ++i)
                        {
                            const auto y = block.getSample (c, i);

                            if (! std::isfinite (y))
                                ++nonFiniteSamples;
                            else if (std::abs (y) > peak.load())
                                peak = std::abs (y);
                        }
                    }

                    samplesProcessed += length;
                    ++blocksProcessed;
                    secondsOfThisBlock = length / rate;
                    audioSeconds = audioSeconds.load() + secondsOfThisBlock;
                }

                // Paced like a sound card asking for the next block.
                due += std::chrono::duration_cast<Clock::duration> (std::chrono::duration<double> (secondsOfThisBlock / speed));
                std::this_thread::sleep_until (due);
            }
        }

        juce::AudioPluginInstance& plugin;
        const double speed;
        std::mutex hostLock;
        juce::AudioBuffer<float> buffer;
        double rate = 48000.0;
        int blockSize = 512;
        std::atomic<bool> running { false };
        std::thread thread;
    };

    //==============================================================================
    struct Options
    {
        double seconds = 600.0;
        double speed = 1.0;
        juce::File module;
    };

    Options parse (const juce::StringArray& args)
    {
        Options options;
        options.module = juce::File (brask::built::vst3Bundle);

        for (int i = 0; i + 1 < args.size(); ++i)
        {
            if (args[i] == "--seconds")
                options.seconds = args[i + 1].getDoubleValue();
            else if (args[i] == "--speed")
                options.speed = juce::jmax (0.01, args[i + 1].getDoubleValue());
            else if (args[i] == "--module")
                options.module = juce::File (args[i + 1]);
        }

        return options;
    }
}

//==============================================================================
int main (int argc, char** argv)
{
    if (std::getenv ("DISPLAY") != nullptr)
        prepareBareXServer();

    juce::ScopedJuceInitialiser_GUI framework;

    juce::StringArray args;
    for (int i = 1; i < argc; ++i)
        args.add (argv[i]);

    const auto options = parse (args);

    juce::VST3PluginFormat format;
    juce::OwnedArray<juce::PluginDescription> found;
    format.findAllTypesForFile (found, options.module.getFullPathName());

    if (found.size() != 1)
    {
        std::fprintf (stderr, "soak: no plug-in found in %s\n", options.module.getFullPathName().toRawUTF8());
        return 2;
    }

    juce::String error;
    auto plugin = format.createInstanceFromDescription (*found[0], 48000.0, 512, error);

    if (plugin == nullptr)
    {
        std::fprintf (stderr, "soak: could not load the plug-in: %s\n", error.toRawUTF8());
        return 2;
    }

    HostedState state (*plugin);

    if (! state.isValid())
    {
        std::fprintf (stderr, "soak: the plug-in's state is not where the framework's host keeps it\n");
        return 2;
    }

    const auto hasDisplay = juce::Desktop::getInstance().getDisplays().getPrimaryDisplay() != nullptr;
    auto* bypass = plugin->getParameters().isEmpty() ? nullptr : plugin->getParameters()[0];

    AudioThread audio (*plugin, options.speed);
    audio.prepare (48000.0, 512);

    const auto rssAtLoad = residentMegabytes();
    std::printf ("soak: %s, %.0f s at %.2f x real time, editor %s\n",
                 options.module.getFileName().toRawUTF8(), options.seconds, options.speed,
                 hasDisplay ? "opened and closed" : "not opened (no display)");
    std::printf ("soak: RSS after loading and preparing: %.1f MiB\n", rssAtLoad);
    std::fflush (stdout);

    audio.start();

    juce::Random random (42);
    std::unique_ptr<juce::AudioProcessorEditor> editor;
    std::unique_ptr<juce::DocumentWindow> window;
    long long knobTurns = 0, footswitchPresses = 0, saves = 0, restores = 0, damagedRestores = 0,
              bypassToggles = 0, editorOpenings = 0, prepares = 1;
    auto footswitchOn = true;
    double rssAfterWarmUp = 0.0, rssPeak = rssAtLoad;
    juce::MemoryBlock lastSaved;

    const auto started = Clock::now();
    auto nextReport = 0.0;
    auto nextPrepare = 45.0;
    const double rates[] = { 44100.0, 48000.0, 88200.0, 96000.0, 192000.0 };
    const int blockSizes[] = { 64, 128, 256, 512, 1024, 2048 };

    for (;;)
    {
        const auto elapsed = std::chrono::duration<double> (Clock::now() - started).count();

        if (elapsed >= options.seconds)
            break;

        switch (random.nextInt (10))
        {
            case 0:
            case 1:
            case 2:
                state.restoreSettings (random.nextFloat(), random.nextFloat(), random.nextFloat(), footswitchOn);
                ++knobTurns;
                break;

            case 3:
                footswitchOn = ! footswitchOn;
                state.restoreSettings (random.nextFloat(), random.nextFloat(), random.nextFloat(), footswitchOn);
                ++footswitchPresses;
                break;

            case 4:
                lastSaved.reset();
                plugin->getStateInformation (lastSaved);
                ++saves;
                break;

            case 5:
                if (lastSaved.getSize() > 0)
                    plugin->setStateInformation (lastSaved.getData(), (int) lastSaved.getSize());
                ++restores;
                break;

            case 6:
            {
                // A damaged project: any bytes where the pedal's setting should be.
                juce::MemoryBlock junk ((size_t) random.nextInt (40));
                random.fillBitsRandomly (junk.getData(), junk.getSize());
                state.restore (junk.getData(), junk.getSize());
                ++damagedRestores;
                break;
            }

            case 7:
                if (bypass != nullptr)
                {
                    bypass->setValueNotifyingHost (bypass->getValue() < 0.5f ? 1.0f : 0.0f);
                    ++bypassToggles;
                }
                break;

            default:
                if (editor != nullptr)
                {
                    // The user closes the plug-in's window: the host drops the window, then the editor.
                    window.reset();
                    editor.reset();
                }
                else if (hasDisplay)
                {
                    editor.reset (plugin->createEditorIfNeeded());

                    if (editor != nullptr)
                    {
                        window = std::make_unique<juce::DocumentWindow> ("Brask Overdrive", juce::Colours::black, 0);
                        window->setUsingNativeTitleBar (false);
                        window->setContentNonOwned (editor.get(), true);
                        window->setTopLeftPosition (40, 30);
                        window->setVisible (true);
                        ++editorOpenings;
                    }
                }
                break;
        }

        if (elapsed >= nextPrepare)
        {
            // The user picks other audio settings: the host stops, re-prepares and plays on.
            audio.prepare (rates[random.nextInt (5)], blockSizes[random.nextInt (6)]);
            ++prepares;
            nextPrepare += 45.0;
        }

        const auto pumpUntil = Clock::now() + std::chrono::milliseconds (20);

        while (Clock::now() < pumpUntil)
        {
            deliverMessages();
            std::this_thread::sleep_for (std::chrono::milliseconds (2));
        }

        if (elapsed >= nextReport)
        {
            const auto rss = residentMegabytes();
            rssPeak = juce::jmax (rssPeak, rss);

            if (rssAfterWarmUp == 0.0 && elapsed >= warmUpSeconds)
                rssAfterWarmUp = rss;

            std::printf ("soak: %6.0f s  audio %8.1f s  blocks %9lld  RSS %7.1f MiB  non-finite %lld\n",
                         elapsed, audio.audioSeconds.load(), audio.blocksProcessed.load(), rss,
                         audio.nonFiniteSamples.load());
            std::fflush (stdout);
            nextReport += 30.0;
        }
    }

    window.reset();
    editor.reset();
    deliverMessages();
    audio.stop();
    plugin->releaseResources();

    const auto rssAtEnd = residentMegabytes();
    const auto duration = std::chrono::duration<double> (Clock::now() - started).count();

    if (rssAfterWarmUp == 0.0)
        rssAfterWarmUp = rssAtLoad;

    std::printf ("soak: %.0f s, %.1f s of audio in %lld blocks (%lld samples a channel), peak |y| %.3f\n",
                 duration, audio.audioSeconds.load(), audio.blocksProcessed.load(),
                 audio.samplesProcessed.load(), (double) audio.peak.load());
    std::printf ("soak: knob turns %lld, footswitch %lld, saves %lld, restores %lld, damaged restores %lld, "
                 "bypass %lld, editor openings %lld, prepares %lld\n",
                 knobTurns, footswitchPresses, saves, restores, damagedRestores, bypassToggles, editorOpenings, prepares);
    std::printf ("soak: RSS at load %.1f MiB, after warm-up %.1f MiB, at end %.1f MiB, peak %.1f MiB\n",
                 rssAtLoad, rssAfterWarmUp, rssAtEnd, rssPeak);

    auto failed = false;

    if (audio.nonFiniteSamples.load() != 0)
    {
        std::printf ("soak: FAILED: %lld non-finite samples\n", audio.nonFiniteSamples.load());
        failed = true;
    }

    if (duration > warmUpSeconds && rssAtEnd - rssAfterWarmUp > allowedGrowthMegabytes)
    {
        std::printf ("soak: FAILED: memory grew by %.1f MiB after warm-up\n", rssAtEnd - rssAfterWarmUp);
        failed = true;
    }

    std::printf ("soak: %s\n", failed ? "FAILED" : "passed");
    plugin.reset();
    return failed ? 1 : 0;
}
