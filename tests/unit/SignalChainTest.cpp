#include "plugin/BraskOverdriveAudioProcessor.h"
#include "dsp/OverdriveKernel.h"
#include "plugin/PedalSettings.h"
#include "KnobLaw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <limits>
#include <sstream>
#include <vector>
#include "TestNumbers.h"

// The pedal's sound checked against a second rendering of the circuit, written
// here from its formulas in double precision: the same stages, none of the
// processor's own code or mapping helpers.

namespace
{
    using brask::test::pi;

    //==============================================================================
    /** The overdrive as a chain of formulas, one sample at a time, in double precision. */
    class PedalModel final
    {
    public:
        //==============================================================================
        void prepare (double sampleRate, int maximumBlockSize, int numChannels)
        {
            if (sampleRate <= 0.0 || maximumBlockSize <= 0 || numChannels <= 0)
            {
                preparedChannels = 0;
                return;
            }

            ++timesPrepared;
            fs = sampleRate;
            preparedChannels = numChannels;
            channels.assign ((size_t) numChannels, ChannelState {});

            // The blend fades in from fully wet over 50 ms once in the pedal's life,
            // after its first prepare; later prepares start at the final weights.
            blendRampLength = (int) std::floor (0.05 * fs);
            blendRampDone = timesPrepared == 1 ? 0 : blendRampLength;
        }

        void setDrive (float value) { driveGain = KnobLaw::driveGain (value); }
        void setTone (float value) { toneCutoff = KnobLaw::toneCutoffHz (value); }
        void setLevel (float value) { levelGain = KnobLaw::levelGain (value); }
        void setEffectOn (bool on) { effectOn = on; }

        void restore (float newDrive, float newTone, float newLevel, bool on)
        {
            setDrive (newDrive);
            setTone (newTone);
            setLevel (newLevel);
            setEffectOn (on);
        }

        double getBias() const { return bias; }

        /** Renders one host block: `output` receives what the pedal should give back
            for `input`, channel by channel.
        */
        void process (const juce::AudioBuffer<float>& input, std::vector<std::vector<double>>& output)
        {
            const auto numSamples = input.getNumSamples();
            output.assign ((size_t) input.getNumChannels(), std::vector<double> ((size_t) numSamples));

            for (int c = 0; c < input.getNumChannels(); ++c)
                for (int i = 0; i < numSamples; ++i)
                    output[(size_t) c][(size_t) i] = input.getSample (c, i);

            if (! effectOn || preparedChannels == 0)
                return;

            // The bias creeps up by one step per sample over the first tenth of a
            // second played, to 0.08, whatever the blocks.
            std::vector<double> biases ((size_t) numSamples);

            for (auto& sampleBias : biases)
            {
                if (biasCounter < fs / 10.0)
                {
                    biasCounter += 1.0;
                    bias = biasCounter / fs * 0.8;
                }

                sampleBias = bias;
            }

            const auto lowCutG = onePoleCoefficient (200.0);
            const auto toneG = onePoleCoefficient (std::min (toneCutoff, 0.49 * fs));

            // Second-order Butterworth high-pass at 5 Hz, from the bilinear transform.
            const auto n = std::tan (pi * 5.0 / fs);
            const auto c1 = 1.0 / (1.0 + std::sqrt (2.0) * n + n * n);
            const double b0 = c1, b1 = -2.0 * c1, b2 = c1;
            const auto a1 = 2.0 * c1 * (n * n - 1.0);
            const auto a2 = c1 * (1.0 - std::sqrt (2.0) * n + n * n);

            const auto numChannels = std::min (input.getNumChannels(), preparedChannels);
            const auto rampAtStart = blendRampDone;

            for (int c = 0; c < numChannels; ++c)
            {
                auto& state = channels[(size_t) c];
                auto& samples = output[(size_t) c];
                blendRampDone = rampAtStart;

                for (size_t i = 0; i < samples.size(); ++i)
                {
                    auto& sample = samples[i];
                    // A sample that is no number, or infinite, is silence; the rest is held within +-100.
                    const auto x = std::isfinite (sample) ? std::clamp (sample, -100.0, 100.0) : 0.0;

                    const auto lowCut = x - onePoleLowPass (state.lowCut, lowCutG, x);
                    const auto clipped = std::tanh (driveGain * lowCut + biases[i]);

                    const auto blocked = b0 * clipped + b1 * state.x1 + b2 * state.x2 - a1 * state.y1 - a2 * state.y2;
                    state.x2 = state.x1;
                    state.x1 = clipped;
                    state.y2 = state.y1;
                    state.y1 = blocked;

                    blendRampDone = std::min (blendRampDone + 1, blendRampLength);
                    const auto fraction = (double) blendRampDone / (double) blendRampLength;
                    const auto wetWeight = 1.0 + (0.99 - 1.0) * fraction;
                    const auto dryWeight = 0.01 * fraction;
                    const auto blended = wetWeight * blocked + dryWeight * driveGain * x;

                    const auto toned = onePoleLowPass (state.tone2, toneG, onePoleLowPass (state.tone1, toneG, blended));
                    sample = levelGain * toned;
                }
            }
        }

    private:
        //==============================================================================
        struct ChannelState
        {
            double lowCut = 0.0, tone1 = 0.0, tone2 = 0.0;
            double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
        };

        double onePoleCoefficient (double cutoff) const
        {
            const auto g = std::tan (pi * cutoff / fs);
            return g / (1.0 + g);
        }

        // Topology-preserving one-pole low-pass: returns y and moves the integrator state.
        static double onePoleLowPass (double& s, double G, double x)
        {
            const auto v = G * (x - s);
            const auto y = v + s;
            s = y + v;
            return y;
        }

        //==============================================================================
        double fs = 0.0;
        int preparedChannels = 0;
        int timesPrepared = 0;
        std::vector<ChannelState> channels;

        // A fresh pedal plays its knobs' middle positions through the same mapping as a knob turn.
        double driveGain = std::pow (10.0, 0.5 * 48.0 / 20.0);
        double toneCutoff = 6000.0;
        double levelGain = 0.5;
        bool effectOn = true;

        double biasCounter = 0.0, bias = 0.0;
        int blendRampLength = 1, blendRampDone = 0;
    };

    //==============================================================================
    struct Knobs
    {
        float drive, tone, level;
        bool on;
    };

    void restoreState (BraskOverdriveAudioProcessor& processor, const Knobs& knobs)
    {
        const auto blob = PedalSettings { knobs.drive, knobs.tone, knobs.level, knobs.on }.toBytes();
        processor.setStateInformation (blob.data(), (int) blob.size());
    }

    void restoreState (PedalModel& model, const Knobs& knobs)
    {
        model.restore (knobs.drive, knobs.tone, knobs.level, knobs.on);
    }

    /** Something done to the pedal between two blocks. */
    struct Move
    {
        enum Control
        {
            drive,
            tone,
            level,
            footswitch,
            restore
        };

        double atSeconds;
        Control control;
        float value = 0.0f;
        Knobs saved = {};

        template <typename Pedal>
        void applyTo (Pedal& pedal) const
        {
            switch (control)
            {
                case drive: pedal.setDrive (value); break;
                case tone: pedal.setTone (value); break;
                case level: pedal.setLevel (value); break;
                case footswitch: pedal.setEffectOn (value != 0.0f); break;
                case restore: restoreState (pedal, saved); break;
            }
        }
    };

    // Every knob, the footswitch and two restores, spread over 0.3 s of playing.
    const std::vector<Move> aSessionOfKnobTurns {
        { 0.050, Move::drive, 0.9f },
        { 0.080, Move::tone, 0.1f },
        { 0.110, Move::level, 0.8f },
        { 0.140, Move::restore, 0.0f, { 0.2f, 1.0f, 0.35f, true } },
        { 0.170, Move::footswitch, 0.0f },
        { 0.190, Move::footswitch, 1.0f },
        { 0.220, Move::drive, 1.0f },
        { 0.220, Move::tone, 0.0f },
        { 0.250, Move::restore, 0.0f, { 0.6f, 0.5f, 1.0f, true } },
    };

    //==============================================================================
    /** A different signal on each channel: a low note with an overtone, a
        brighter chord, then seeded noise.
    */
    float testSignal (int channel, juce::int64 sampleIndex, double sampleRate)
    {
        const auto t = (double) sampleIndex / sampleRate;

        switch (channel % 3)
        {
            case 0: return (float) (0.6 * std::sin (2.0 * pi * 110.0 * t) + 0.25 * std::sin (2.0 * pi * 1730.0 * t));
            case 1: return (float) (0.3 * std::sin (2.0 * pi * 330.0 * t) + 0.3 * std::sin (2.0 * pi * 415.3 * t)
                                    + 0.2 * std::sin (2.0 * pi * 5200.0 * t));
            default: break;
        }

        auto state = (juce::uint64) sampleIndex * 6364136223846793005ULL + 1442695040888963407ULL;
        state ^= state >> 29;
        return (float) ((double) (state % 2000001) / 1000000.0 - 1.0) * 0.4f;
    }

    struct Comparison
    {
        double largestDeviation = 0.0;
        double peak = 0.0;
        juce::int64 samplesCompared = 0, nonFiniteSamples = 0;

        void add (const juce::AudioBuffer<float>& processed, const std::vector<std::vector<double>>& expected)
        {
            for (int c = 0; c < processed.getNumChannels(); ++c)
            {
                for (int i = 0; i < processed.getNumSamples(); ++i)
                {
                    const auto want = expected[(size_t) c][(size_t) i];
                    const auto got = processed.getSample (c, i);

                    if (! std::isfinite (got))
                    {
                        ++nonFiniteSamples;
                        largestDeviation = std::numeric_limits<double>::infinity();
                    }

                    largestDeviation = std::max (largestDeviation, std::abs ((double) got - want));
                    peak = std::max (peak, std::abs (want));
                    ++samplesCompared;
                }
            }
        }
    };

    // What single precision leaves of the double-precision chain. Each float stage
    // rounds at about 6e-8 of the signal; +48 dB of drive magnifies the low cut's
    // rounding where the clipper is steepest. Over every case here the largest
    // gap seen is 1.5e-5 of the peak (inputs held at +-1000 with full drive, before the ceiling came down to +-100), and
    // 5e-6 of the peak in ordinary playing. A tolerance of 1e-4 of the peak leaves
    // room for other compilers and maths libraries, while a cutoff 0.5 % off, a
    // bias 0.6 % off, a blend of 0.991, a blend fade 1 ms short or a gain from the
    // wrong mapping each overshoot it.
    constexpr double tolerancePerPeak = 1.0e-4;

    double toleranceFor (const Comparison& comparison)
    {
        return tolerancePerPeak * std::max (comparison.peak, 1.0e-3);
    }

    //==============================================================================
    bool setLayout (BraskOverdriveAudioProcessor& processor, int numChannels)
    {
        const auto set = numChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
        juce::AudioProcessor::BusesLayout layout;
        layout.inputBuses.add (set);
        layout.outputBuses.add (set);
        return processor.setBusesLayout (layout);
    }

    /** Plays the same blocks and moves through the processor and the model. */
    struct SideBySide
    {
        BraskOverdriveAudioProcessor processor;
        PedalModel model;
        Comparison comparison;
        juce::MidiBuffer midi;
        double sampleRate = 0.0;
        juce::int64 position = 0;

        void prepare (double newSampleRate, int maximumBlockSize, int numChannels)
        {
            sampleRate = newSampleRate;
            ASSERT_TRUE (setLayout (processor, numChannels));
            processor.prepareToPlay (sampleRate, maximumBlockSize);
            model.prepare (sampleRate, maximumBlockSize, numChannels);
        }

        /** Plays one block of `numSamples` on `numChannels` channels; the block's
            content is the test signal unless `content` is given.
        */
        juce::AudioBuffer<float> play (int numChannels, int numSamples, const juce::AudioBuffer<float>* content = nullptr)
        {
            juce::AudioBuffer<float> buffer (numChannels, numSamples);

            if (content != nullptr)
                buffer.makeCopyOf (*content);
            else
                for (int c = 0; c < numChannels; ++c)
                    for (int i = 0; i < numSamples; ++i)
                        buffer.setSample (c, i, testSignal (c, position + i, sampleRate));

            std::vector<std::vector<double>> expected;
            model.process (buffer, expected);
            processor.processBlock (buffer, midi);
            comparison.add (buffer, expected);
            position += numSamples;
            return buffer;
        }

        /** Plays `seconds` of the test signal in blocks of the sizes given (cycled),
            making each move before the first block that starts at or after its time.
        */
        void playSession (int numChannels, double seconds, const std::vector<int>& blockSizes,
                          const std::vector<Move>& moves)
        {
            const auto end = (juce::int64) (seconds * sampleRate);
            const auto start = position;
            size_t nextMove = 0;

            for (size_t block = 0; position < end; ++block)
            {
                for (; nextMove < moves.size() && (double) (position - start) >= moves[nextMove].atSeconds * sampleRate; ++nextMove)
                {
                    moves[nextMove].applyTo (processor);
                    moves[nextMove].applyTo (model);
                }

                play (numChannels, (int) std::min<juce::int64> (blockSizes[block % blockSizes.size()], end - position));
            }
        }
    };

    std::string describe (const std::string& what, const Comparison& comparison)
    {
        std::ostringstream text;
        text << what << ": largest deviation " << std::setprecision (3) << comparison.largestDeviation
             << " at a peak of " << comparison.peak << " over " << comparison.samplesCompared << " samples";
        return text.str();
    }

    const std::vector<int> mixedBlockSizes { 1, 7, 64, 13, 512, 0, 300, 4096, 2, 1000, 64, 4095 };

    using brask::test::infinity;
    using brask::test::notANumber;

    bool sameBits (const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b, int channel)
    {
        return std::memcmp (a.getReadPointer (channel), b.getReadPointer (channel),
                            sizeof (float) * (size_t) a.getNumSamples())
               == 0;
    }
}

//==============================================================================
/** Every case runs once on each instruction set the chain's kernel is built for,
    pinned, so that each set's code is checked on a machine that can run it and
    not only the one the processor would pick.
*/
class SignalChain : public ::testing::TestWithParam<OverdriveKernel::InstructionSet>
{
protected:
    void SetUp() override
    {
        if (! OverdriveKernel::canRun (GetParam()))
            GTEST_SKIP() << "this machine cannot run that instruction set";

        OverdriveKernel::pinInstructionSet (GetParam());
    }

    void TearDown() override
    {
        OverdriveKernel::unpinInstructionSet();
    }
};

INSTANTIATE_TEST_SUITE_P (EveryInstructionSet, SignalChain,
                          ::testing::ValuesIn (OverdriveKernel::builtInstructionSets()),
                          [] (const auto& instance) {
                              switch (instance.param)
                              {
                                  case OverdriveKernel::InstructionSet::avx2: return std::string ("AVX2");
                                  case OverdriveKernel::InstructionSet::avx512: return std::string ("AVX512");
                                  case OverdriveKernel::InstructionSet::neon: return std::string ("NEON");
                                  case OverdriveKernel::InstructionSet::sve: return std::string ("SVE");
                                  case OverdriveKernel::InstructionSet::sve2: return std::string ("SVE2");
                                  case OverdriveKernel::InstructionSet::baseline: break;
                              }

                              return std::string ("Baseline");
                          });

TEST_P (SignalChain, RunsOnThePinnedInstructionSet)
{
    OverdriveKernel kernel;
    kernel.prepare (48000.0, 2);
    EXPECT_EQ (kernel.getInstructionSet(), GetParam());
}

TEST (SignalChainMachine, UsesTheWidestInstructionSetTheSystemReports)
{
    // The operating system lists a feature only when it also saves its registers.
#if defined(__aarch64__)
    const std::string flagsLine = "Features";
#else
    const std::string flagsLine = "flags";
#endif

    std::ifstream cpuInfo ("/proc/cpuinfo");
    std::string line;
    std::vector<std::string> flags;

    while (std::getline (cpuInfo, line))
    {
        if (line.rfind (flagsLine, 0) == 0)
        {
            std::istringstream words (line.substr (line.find (':') + 1));
            for (std::string word; words >> word;)
                flags.push_back (word);
            break;
        }
    }

#if defined(__aarch64__)
    // An emulator for one program (qemu-user) shows the build machine's own list.
    if (flags.empty())
        GTEST_SKIP() << "/proc/cpuinfo lists no ARM features: run under emulation";
#endif

    ASSERT_FALSE (flags.empty()) << "/proc/cpuinfo lists no flags";

    auto hasAll = [&flags] (std::initializer_list<const char*> wanted) {
        return std::all_of (wanted.begin(), wanted.end(),
                            [&flags] (const char* flag) { return std::find (flags.begin(), flags.end(), flag) != flags.end(); });
    };

    const auto avx2 = hasAll ({ "avx", "avx2", "fma", "f16c", "bmi1", "bmi2", "sse4_1", "sse4_2", "ssse3", "pclmulqdq", "aes" });
    const auto avx512 = avx2 && hasAll ({ "avx512f", "avx512vl", "avx512dq", "avx512bw" });

    EXPECT_TRUE (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::baseline));

#if defined(__aarch64__)
    const auto neon = hasAll ({ "asimd" });
    const auto sve = neon && hasAll ({ "sve" });
    const auto sve2 = sve && hasAll ({ "sve2" });

    EXPECT_EQ (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::neon), neon);
    EXPECT_EQ (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::sve), sve);
    EXPECT_EQ (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::sve2), sve2);
    EXPECT_FALSE (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::avx2));
    EXPECT_EQ (OverdriveKernel::widestSupported(), sve2   ? OverdriveKernel::InstructionSet::sve2
                                                   : sve  ? OverdriveKernel::InstructionSet::sve
                                                   : neon ? OverdriveKernel::InstructionSet::neon
                                                          : OverdriveKernel::InstructionSet::baseline);
    return;
#endif

    EXPECT_EQ (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::avx2), avx2);
    EXPECT_EQ (OverdriveKernel::canRun (OverdriveKernel::InstructionSet::avx512), avx512);
    EXPECT_EQ (OverdriveKernel::widestSupported(), avx512 ? OverdriveKernel::InstructionSet::avx512
                                                   : avx2 ? OverdriveKernel::InstructionSet::avx2
                                                          : OverdriveKernel::InstructionSet::baseline);
}

//==============================================================================
TEST_P (SignalChain, PlaysLikeTheCircuitAtEveryRateLayoutAndBlockSize)
{
    struct BlockPattern
    {
        const char* name;
        std::vector<int> sizes;
    };

    const BlockPattern patterns[] = {
        { "blocks of 1", { 1 } },
        { "blocks of 64", { 64 } },
        { "blocks of 512", { 512 } },
        { "blocks of 4096", { 4096 } },
        { "mixed blocks", mixedBlockSizes },
    };

    for (const auto sampleRate : { 44100.0, 48000.0, 96000.0 })
    {
        for (const auto numChannels : { 1, 2 })
        {
            for (const auto& pattern : patterns)
            {
                const auto name = std::to_string ((int) sampleRate) + " Hz, " + std::to_string (numChannels)
                                  + " channel(s), " + pattern.name;
                SideBySide pedal;
                pedal.prepare (sampleRate, *std::max_element (pattern.sizes.begin(), pattern.sizes.end()), numChannels);
                pedal.playSession (numChannels, 0.3, pattern.sizes, aSessionOfKnobTurns);

                EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe (name, pedal.comparison);
                EXPECT_GT (pedal.comparison.peak, 0.1) << name;
            }
        }
    }
}

TEST_P (SignalChain, KeepsPlayingLikeTheCircuitAcrossALaterPrepare)
{
    struct Case
    {
        double firstRate;
        int firstBlock;
        double secondRate;
        int secondBlock;
    };

    const Case cases[] = {
        { 44100.0, 64, 96000.0, 512 },
        { 96000.0, 512, 48000.0, 64 },
        { 48000.0, 1, 44100.0, 4096 },   // the bias ramp ends before the second prepare
        { 48000.0, 256, 48000.0, 256 },  // a host that simply restarts
    };

    for (const auto& c : cases)
    {
        for (const auto numChannels : { 1, 2 })
        {
            const auto name = std::to_string ((int) c.firstRate) + " then " + std::to_string ((int) c.secondRate)
                              + " Hz, " + std::to_string (numChannels) + " channel(s)";
            SideBySide pedal;
            pedal.prepare (c.firstRate, c.firstBlock, numChannels);
            pedal.playSession (numChannels, 0.12, { c.firstBlock }, { { 0.03, Move::drive, 0.75f } });

            pedal.prepare (c.secondRate, c.secondBlock, numChannels);
            pedal.playSession (numChannels, 0.3, { c.secondBlock }, aSessionOfKnobTurns);

            EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe (name, pedal.comparison);
        }
    }
}

TEST_P (SignalChain, SoundsTheSameHoweverTheHostCutsTheAudio)
{
    // A live take and its offline bounce, or one project in two hosts, must sound
    // alike: the same input in blocks of any size (zero-length ones included) gives
    // what blocks of 64 give, from the first sample on, ramp and blend fade included.
    constexpr double sampleRate = 48000.0;
    const auto numSamples = (int) (3.0 * sampleRate);

    juce::AudioBuffer<float> input (2, numSamples);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < numSamples; ++i)
            input.setSample (c, i, testSignal (c, i, sampleRate));

    // Sizes spread over every octave up to 8192, with a zero-length block every fifth.
    std::vector<int> randomMix;
    juce::Random random (0x5eed);
    for (int block = 0; block < 400; ++block)
        randomMix.push_back (block % 5 == 4 ? 0 : 1 + random.nextInt (1 << random.nextInt (14)));

    auto render = [&] (int numChannels, bool fullDrive, const std::vector<int>& blockSizes) {
        BraskOverdriveAudioProcessor processor;
        juce::MidiBuffer midi;
        EXPECT_TRUE (setLayout (processor, numChannels));

        if (fullDrive)
            processor.setDrive (1.0f);

        processor.prepareToPlay (sampleRate, *std::max_element (blockSizes.begin(), blockSizes.end()));

        juce::AudioBuffer<float> output (numChannels, numSamples);
        for (int c = 0; c < numChannels; ++c)
            output.copyFrom (c, 0, input, c, 0, numSamples);

        for (size_t block = 0, start = 0; (int) start < numSamples; ++block)
        {
            const auto length = std::min (blockSizes[block % blockSizes.size()], numSamples - (int) start);
            juce::AudioBuffer<float> view (output.getArrayOfWritePointers(), numChannels, (int) start, length);
            processor.processBlock (view, midi);
            start += (size_t) length;
        }

        return output;
    };

    struct Pattern
    {
        const char* name;
        std::vector<int> sizes;
    };

    const Pattern patterns[] = {
        { "blocks of 1", { 1 } },
        { "blocks of 17", { 17 } },
        { "blocks of 333", { 333 } },
        { "blocks of 512", { 512 } },
        { "blocks of 4096", { 4096 } },
        { "blocks of 8192", { 8192 } },
        { "a random mix", randomMix },
    };

    for (const auto numChannels : { 1, 2 })
    {
        for (const auto fullDrive : { false, true })
        {
            const auto reference = render (numChannels, fullDrive, { 64 });
            const auto peak = (double) reference.getMagnitude (0, numSamples);
            ASSERT_GT (peak, 0.1);

            for (const auto& pattern : patterns)
            {
                const auto output = render (numChannels, fullDrive, pattern.sizes);
                double largest = 0.0;
                int firstApart = -1;

                for (int c = 0; c < numChannels; ++c)
                {
                    for (int i = 0; i < numSamples; ++i)
                    {
                        const auto difference = std::abs ((double) output.getSample (c, i) - reference.getSample (c, i));
                        largest = std::max (largest, difference);

                        if (difference > 1.0e-5 * peak && (firstApart < 0 || i < firstApart))
                            firstApart = i;
                    }
                }

                EXPECT_LE (largest, 1.0e-5 * peak)
                    << numChannels << " channel(s), " << (fullDrive ? "full drive, " : "default knobs, ") << pattern.name
                    << ": largest difference from blocks of 64 " << largest << " at a peak of " << peak
                    << ", first apart at sample " << firstApart;
            }
        }
    }
}

TEST_P (SignalChain, HoldsTheToneCutoffBelowNyquistAtLowSampleRates)
{
    // At these rates the bright end of the tone knob (11 kHz) lies at or above half
    // the sample rate; the filters must stay stable and still follow the circuit.
    for (const auto sampleRate : { 16000.0, 22050.0 })
    {
        for (const auto numChannels : { 1, 2 })
        {
            SideBySide pedal;
            pedal.prepare (sampleRate, 256, numChannels);
            pedal.processor.setTone (1.0f);
            pedal.model.setTone (1.0f);
            pedal.processor.setDrive (1.0f);
            pedal.model.setDrive (1.0f);
            pedal.playSession (numChannels, 2.0, { 256 }, {});

            EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison))
                << describe (std::to_string ((int) sampleRate) + " Hz, " + std::to_string (numChannels) + " channel(s)",
                             pedal.comparison);
            EXPECT_GT (pedal.comparison.peak, 0.1) << sampleRate;
            EXPECT_LT (pedal.comparison.peak, 10.0) << sampleRate;
        }
    }
}

//==============================================================================
TEST_P (SignalChain, WithTheEffectOffEveryChannelPassesBitForBitAndNothingAdvances)
{
    for (const auto numChannels : { 1, 2 })
    {
        SideBySide pedal;
        pedal.prepare (44100.0, 128, numChannels);
        pedal.playSession (numChannels, 0.02, { 128 }, {});
        const auto counterBefore = pedal.processor.getBiasCounter();
        const auto biasBefore = pedal.processor.getBias();

        pedal.processor.setEffectOn (false);
        pedal.model.setEffectOn (false);

        // Whatever comes in, including what the chain would otherwise guard against.
        juce::AudioBuffer<float> input (numChannels, 128);
        for (int c = 0; c < numChannels; ++c)
            for (int i = 0; i < 128; ++i)
                input.setSample (c, i, testSignal (c + 1, i, 44100.0) * 3.0f);

        input.setSample (0, 3, notANumber);
        input.setSample (numChannels - 1, 9, infinity);
        input.setSample (0, 17, -5000.0f);
        input.setSample (numChannels - 1, 20, 1.0e-40f);

        for (int block = 0; block < 10; ++block)
        {
            juce::AudioBuffer<float> buffer;
            buffer.makeCopyOf (input);
            pedal.processor.processBlock (buffer, pedal.midi);

            for (int c = 0; c < numChannels; ++c)
                EXPECT_TRUE (sameBits (buffer, input, c)) << numChannels << " channel(s), channel " << c;
        }

        EXPECT_EQ (pedal.processor.getBiasCounter(), counterBefore);
        EXPECT_EQ (pedal.processor.getBias(), biasBefore);

        // Switched on again, the filters go on from where they stopped.
        pedal.processor.setEffectOn (true);
        pedal.model.setEffectOn (true);
        pedal.playSession (numChannels, 0.04, { 128 }, {});
        EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe ("after switching on", pedal.comparison);
    }
}

TEST_P (SignalChain, TheBiasRampClimbsOneStepPerSampleForATenthOfASecond)
{
    struct Step
    {
        double sampleRate;
        int blockSize;
        int blocks;
        float counter;
        double bias;
    };
    struct Case
    {
        const char* name;
        std::vector<Step> steps;
    };

    const Case cases[] = {
        { "the first sample at 44.1 kHz", { { 44100.0, 1, 1, 1.0f, 1.0 / 44100.0 * 0.8 } } },
        { "a zero-length block does not count", { { 44100.0, 0, 3, 0.0f, 0.0 }, { 44100.0, 1, 1, 1.0f, 1.0 / 44100.0 * 0.8 }, { 44100.0, 0, 2, 1.0f, 1.0 / 44100.0 * 0.8 } } },
        { "a long block counts each of its samples", { { 44100.0, 4096, 1, 4096.0f, 4096.0 / 44100.0 * 0.8 } } },
        { "the end after 0.1 s at 44.1 kHz", { { 44100.0, 4409, 1, 4409.0f, 4409.0 / 44100.0 * 0.8 }, { 44100.0, 1, 1, 4410.0f, 0.08 } } },
        { "and it stays there", { { 44100.0, 16, 4500, 4410.0f, 0.08 } } },
        { "the end mid-block at 48 kHz", { { 48000.0, 333, 14, 4662.0f, 4662.0 / 48000.0 * 0.8 }, { 48000.0, 333, 1, 4800.0f, 0.08 }, { 48000.0, 8192, 1, 4800.0f, 0.08 } } },
        { "a later prepare at 96 kHz goes on", { { 44100.0, 512, 9, 4410.0f, 0.08 }, { 96000.0, 1, 1, 4411.0f, 4411.0 / 96000.0 * 0.8 }, { 96000.0, 5188, 1, 9599.0f, 9599.0 / 96000.0 * 0.8 }, { 96000.0, 64, 10, 9600.0f, 0.08 } } },
        { "a later prepare at a lower rate holds", { { 96000.0, 9600, 1, 9600.0f, 0.08 }, { 44100.0, 8, 3, 9600.0f, 0.08 } } },
    };

    for (const auto& c : cases)
    {
        BraskOverdriveAudioProcessor processor;
        juce::MidiBuffer midi;
        double preparedRate = 0.0;

        for (const auto& step : c.steps)
        {
            if (step.sampleRate != preparedRate)
            {
                processor.prepareToPlay (step.sampleRate, 9600);
                preparedRate = step.sampleRate;
            }

            juce::AudioBuffer<float> buffer (2, step.blockSize);

            for (int block = 0; block < step.blocks; ++block)
            {
                buffer.clear();
                processor.processBlock (buffer, midi);
            }

            EXPECT_EQ (processor.getBiasCounter(), step.counter) << c.name;
            EXPECT_NEAR (processor.getBias(), step.bias, 1.0e-6 * step.bias + 1.0e-12) << c.name;
        }
    }
}

TEST_P (SignalChain, SilentInputCarriesOnlyTheBiasTransientWhichTheBlockerRemoves)
{
    for (const auto numChannels : { 1, 2 })
    {
        SideBySide pedal;
        pedal.prepare (44100.0, 1, numChannels);

        juce::AudioBuffer<float> silence (numChannels, 1);
        silence.clear();

        // Run the whole ramp (4410 one-sample blocks), then a second of settled playing.
        for (int block = 0; block < 4410 + 44100; ++block)
            pedal.play (numChannels, 1, &silence);

        EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe ("silence", pedal.comparison);
        EXPECT_NEAR (pedal.processor.getBias(), 0.08, 1.0e-7);

        juce::AudioBuffer<float> settled (numChannels, 512);
        settled.clear();
        pedal.processor.processBlock (settled, pedal.midi);
        EXPECT_LT (settled.getMagnitude (0, 512), 1.0e-3) << numChannels << " channel(s)";
    }
}

TEST_P (SignalChain, LevelAtOrBelowMinusOneHundredDecibelsIsExactSilence)
{
    const float levels[] = { 0.0f, 1.0e-5f, 5.0e-6f, -0.5f, -infinity };

    for (const auto levelValue : levels)
    {
        for (const auto viaRestore : { false, true })
        {
            BraskOverdriveAudioProcessor processor;
            juce::MidiBuffer midi;
            processor.prepareToPlay (48000.0, 256);
            processor.setDrive (1.0f);

            if (viaRestore)
                restoreState (processor, { 1.0f, 0.5f, levelValue, true });
            else
                processor.setLevel (levelValue);

            for (int block = 0; block < 20; ++block)
            {
                juce::AudioBuffer<float> buffer (2, 256);
                for (int c = 0; c < 2; ++c)
                    for (int i = 0; i < 256; ++i)
                        buffer.setSample (c, i, testSignal (c, block * 256 + i, 48000.0));

                processor.processBlock (buffer, midi);

                for (int c = 0; c < 2; ++c)
                    for (int i = 0; i < 256; ++i)
                        ASSERT_EQ (buffer.getSample (c, i), 0.0f) << "level " << levelValue << (viaRestore ? " restored" : " turned");
            }
        }
    }
}

TEST_P (SignalChain, ChannelsNeverMix)
{
    // The left output must not change by a single bit whatever plays on the right.
    auto playLeftWithRight = [] (float rightGain) {
        BraskOverdriveAudioProcessor processor;
        juce::MidiBuffer midi;
        processor.prepareToPlay (44100.0, 300);
        processor.setDrive (0.8f);

        std::vector<float> left;

        for (int block = 0; block < 40; ++block)
        {
            juce::AudioBuffer<float> buffer (2, 300);
            for (int i = 0; i < 300; ++i)
            {
                buffer.setSample (0, i, testSignal (0, block * 300 + i, 44100.0));
                buffer.setSample (1, i, rightGain * testSignal (2, block * 300 + i, 44100.0));
            }

            processor.processBlock (buffer, midi);
            left.insert (left.end(), buffer.getReadPointer (0), buffer.getReadPointer (0) + 300);
        }

        return left;
    };

    const auto withSilence = playLeftWithRight (0.0f);
    EXPECT_EQ (withSilence, playLeftWithRight (1.0f));
    EXPECT_EQ (withSilence, playLeftWithRight (-25.0f));
}

TEST_P (SignalChain, ARestoreChangesTheSoundFromTheNextBlock)
{
    SideBySide restored, untouched;

    for (auto* pedal : { &restored, &untouched })
    {
        pedal->prepare (48000.0, 512, 2);
        pedal->playSession (2, 0.05, { 512 }, {});
    }

    restoreState (restored.processor, { 0.1f, 0.9f, 0.9f, true });
    restored.model.restore (0.1f, 0.9f, 0.9f, true);

    juce::AudioBuffer<float> next (2, 512);
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < 512; ++i)
            next.setSample (c, i, testSignal (c, restored.position + i, 48000.0));

    const auto restoredOutput = restored.play (2, 512, &next);
    const auto untouchedOutput = untouched.play (2, 512, &next);

    EXPECT_LE (restored.comparison.largestDeviation, toleranceFor (restored.comparison)) << describe ("restored", restored.comparison);

    // Both pedals had the same past: already the first sample after the restore differs.
    for (int c = 0; c < 2; ++c)
        EXPECT_GT (std::abs (restoredOutput.getSample (c, 0) - untouchedOutput.getSample (c, 0)), 1.0e-3) << "channel " << c;
}

//==============================================================================
TEST_P (SignalChain, NonFiniteInputsAndKnobValuesNeverReachTheOutput)
{
    struct Case
    {
        const char* name;
        float drive, tone, level;
        std::vector<float> samples;
    };

    const auto huge = std::numeric_limits<float>::max();
    const auto tiny = std::numeric_limits<float>::denorm_min();

    const Case cases[] = {
        { "NaN input", 1.0f, 1.0f, 1.0f, { 0.2f, notANumber, 0.3f, notANumber } },
        { "infinite input", 1.0f, 1.0f, 1.0f, { infinity, -infinity, 0.1f, infinity } },
        { "largest finite input", 1.0f, 0.0f, 1.0f, { huge, -huge, huge, 1.0e30f } },
        { "denormal input", 0.0f, 0.5f, 1.0f, { tiny, -tiny, 1.0e-39f, tiny } },
        { "NaN knobs", notANumber, notANumber, notANumber, { 0.5f, -0.5f, 0.9f, 0.0f } },
        { "infinite knobs", infinity, -infinity, infinity, { 0.5f, -0.5f, 0.9f, 0.0f } },
        { "knobs far out of range", 1.0e9f, -1.0e9f, 42.0f, { huge, notANumber, -infinity, 0.7f } },
    };

    for (const auto& c : cases)
    {
        for (const auto sampleRate : { 16000.0, 44100.0, 96000.0 })
        {
            for (const auto numChannels : { 1, 2 })
            {
                SideBySide pedal;
                pedal.prepare (sampleRate, 64, numChannels);

                for (const Move& move : { Move { 0.0, Move::drive, c.drive },
                                          Move { 0.0, Move::tone, c.tone },
                                          Move { 0.0, Move::level, c.level } })
                {
                    move.applyTo (pedal.processor);
                    move.applyTo (pedal.model);
                }

                juce::AudioBuffer<float> input (numChannels, 64);
                for (int block = 0; block < 200; ++block)
                {
                    for (int ch = 0; ch < numChannels; ++ch)
                        for (int i = 0; i < 64; ++i)
                            input.setSample (ch, i, c.samples[(size_t) (block + i + ch) % c.samples.size()]);

                    pedal.play (numChannels, 64, &input);
                }

                const auto name = std::string (c.name) + " at " + std::to_string ((int) sampleRate) + ", "
                                  + std::to_string (numChannels) + " channel(s)";
                EXPECT_EQ (pedal.comparison.nonFiniteSamples, 0) << name;
                EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe (name, pedal.comparison);
            }
        }
    }
}

//==============================================================================
TEST_P (SignalChain, AnInfiniteSampleIsSilenceNotABurst)
{
    // A plug-in upstream that misbehaves may send one infinite sample, or many:
    // each must play exactly as a silent sample would, so the output is never
    // louder than the same input with those samples at zero.
    struct Case
    {
        const char* name;
        float drive, level;
        int first, count;
    };

    const Case cases[] = {
        { "one +inf at the default knobs", 0.5f, 0.5f, 2000, 1 },
        { "one -inf at the default knobs", 0.5f, 0.5f, 2001, 1 },
        { "4800 alternating infinities at full drive and level", 1.0f, 1.0f, 2000, 4800 },
    };

    for (const auto& c : cases)
    {
        for (const auto numChannels : { 1, 2 })
        {
            const auto name = std::string (c.name) + ", " + std::to_string (numChannels) + " channel(s)";
            constexpr int length = 16000;
            juce::AudioBuffer<float> withInfinities (numChannels, length), withSilence (numChannels, length);

            for (int ch = 0; ch < numChannels; ++ch)
            {
                for (int i = 0; i < length; ++i)
                {
                    const auto isHit = i >= c.first && i < c.first + c.count;
                    const auto sine = 0.3f * (float) std::sin (2.0 * pi * 220.0 * i / 48000.0);
                    withSilence.setSample (ch, i, isHit ? 0.0f : sine);
                    // Signs alternate, starting with + at an even index and - at an odd one.
                    const auto positive = ((i - c.first) % 2 == 0) == (c.first % 2 == 0);
                    withInfinities.setSample (ch, i, isHit ? (positive ? infinity : -infinity) : sine);
                }
            }

            std::vector<float> peaks;

            for (auto* buffer : { &withInfinities, &withSilence })
            {
                BraskOverdriveAudioProcessor processor;
                ASSERT_TRUE (setLayout (processor, numChannels));
                processor.setDrive (c.drive);
                processor.setLevel (c.level);
                processor.prepareToPlay (48000.0, 512);
                juce::MidiBuffer midi;

                for (int start = 0; start < length; start += 512)
                {
                    juce::AudioBuffer<float> block (buffer->getArrayOfWritePointers(), numChannels, start, std::min (512, length - start));
                    processor.processBlock (block, midi);
                }

                peaks.push_back (buffer->getMagnitude (0, length));
            }

            ASSERT_GT (peaks[1], 0.01f) << name << ": the pedal played nothing";
            EXPECT_LE (peaks[0], peaks[1]) << name;

            for (int ch = 0; ch < numChannels; ++ch)
                EXPECT_TRUE (sameBits (withInfinities, withSilence, ch)) << name << ", channel " << ch;
        }
    }
}

//==============================================================================
TEST_P (SignalChain, SurvivesTheThreeHostMistakes)
{
    juce::MidiBuffer midi;

    {
        SCOPED_TRACE ("processing before any prepare gives the block back untouched");
        BraskOverdriveAudioProcessor processor;
        juce::AudioBuffer<float> input (2, 512);
        for (int c = 0; c < 2; ++c)
            for (int i = 0; i < 512; ++i)
                input.setSample (c, i, testSignal (c, i, 44100.0));

        juce::AudioBuffer<float> buffer;
        buffer.makeCopyOf (input);
        processor.processBlock (buffer, midi);

        EXPECT_TRUE (sameBits (buffer, input, 0));
        EXPECT_TRUE (sameBits (buffer, input, 1));
        EXPECT_EQ (processor.getBiasCounter(), 0.0f);
    }

    {
        SCOPED_TRACE ("blocks longer than promised play as if they had been split, the ramp stepping once per sample");
        for (const auto numChannels : { 1, 2 })
        {
            SideBySide pedal;
            pedal.prepare (48000.0, 64, numChannels);
            pedal.playSession (numChannels, 0.5, { 64, 1000, 65, 4096, 128, 3 }, aSessionOfKnobTurns);

            EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe ("over-long blocks", pedal.comparison);
            EXPECT_NEAR (pedal.processor.getBias(), pedal.model.getBias(), 1.0e-7 * pedal.model.getBias());
        }
    }

    {
        SCOPED_TRACE ("channels beyond the prepared count are left as they came");
        SideBySide pedal;
        pedal.prepare (44100.0, 256, 1);

        for (int block = 0; block < 30; ++block)
        {
            juce::AudioBuffer<float> input (3, 256);
            for (int c = 0; c < 3; ++c)
                for (int i = 0; i < 256; ++i)
                    input.setSample (c, i, testSignal (c, block * 256 + i, 44100.0));

            juce::AudioBuffer<float> expectedExtra;
            expectedExtra.makeCopyOf (input);

            std::vector<std::vector<double>> expected;
            pedal.model.process (input, expected);
            pedal.processor.processBlock (input, midi);
            pedal.comparison.add (input, expected);

            EXPECT_TRUE (sameBits (input, expectedExtra, 1));
            EXPECT_TRUE (sameBits (input, expectedExtra, 2));
        }

        EXPECT_LE (pedal.comparison.largestDeviation, toleranceFor (pedal.comparison)) << describe ("first channel", pedal.comparison);
    }
}
