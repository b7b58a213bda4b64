#include "plugin/BraskOverdriveAudioProcessor.h"
#include "dsp/OverdriveKernel.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <tuple>
#include <vector>

// How fast the pedal plays: processBlock on mono and stereo at 48 kHz, beside the
// same arithmetic written as one fused scalar loop (glibc's tanhf, one sample of
// each channel at a time), measured in the same run. Columns: ns per sample and
// channel, how many times faster than real time, and (for processBlock) the time
// relative to the fused loop with the same channels and block size.
// processBlock runs on the widest instruction set the machine has; the rows named
// processBlock_AVX2 and processBlock_Baseline pin the narrower sets it also has, and
// processBlockTurningTone moves the tone knob before every block.
//
//     build/bench/brask_benchmarks
//
// Targets at 512 samples: at most 3 ns per sample and channel and 0.15x the fused
// loop; at 64, at most 4 ns.

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr int maxChannels = 2;
    constexpr double pi = 3.14159265358979323846;

    juce::AudioBuffer<float> makeInput (int numChannels, int blockSize)
    {
        juce::AudioBuffer<float> input (numChannels, blockSize);

        for (int c = 0; c < numChannels; ++c)
            for (int i = 0; i < blockSize; ++i)
                input.setSample (c, i, (float) (0.6 * std::sin (2.0 * pi * (110.0 + 55.0 * c) * i / sampleRate)));

        return input;
    }

    //==============================================================================
    /** The pedal's chain for settled playing (bias ramp ended, blend fade done)
        with drive, tone and level at their middle positions, as one scalar loop:
        the reference the vectorised chain is measured against.
    */
    class FusedChain final
    {
    public:
        FusedChain()
        {
            auto onePole = [] (double cutoff) {
                const auto g = std::tan (pi * cutoff / sampleRate);
                return (float) (g / (1.0 + g));
            };

            lowCutG = onePole (200.0);
            toneG = onePole (6000.0);

            const auto n = std::tan (pi * 5.0 / sampleRate);
            const auto c1 = 1.0 / (1.0 + std::sqrt (2.0) * n + n * n);
            b0 = c1;
            b1 = -2.0 * c1;
            b2 = c1;
            a1 = 2.0 * c1 * (n * n - 1.0);
            a2 = c1 * (1.0 - std::sqrt (2.0) * n + n * n);
        }

        void process (juce::AudioBuffer<float>& buffer) noexcept
        {
            const auto numChannels = std::min (buffer.getNumChannels(), maxChannels);
            auto* const* samples = buffer.getArrayOfWritePointers();

            // Every channel side by side, so that their feedback loops overlap.
            for (int i = 0; i < buffer.getNumSamples(); ++i)
            {
                for (int c = 0; c < numChannels; ++c)
                {
                    auto& state = channels[c];
                    const auto in = samples[c][i];
                    const auto x = (in == in) ? std::clamp (in, -1000.0f, 1000.0f) : 0.0f;

                    auto v = lowCutG * (x - state.lowCut);
                    auto y = v + state.lowCut;
                    state.lowCut = y + v;
                    const auto clipped = (double) std::tanh (driveGain * (x - y) + bias);

                    const auto blocked = b0 * clipped + state.z1;
                    state.z1 = b1 * clipped - a1 * blocked + state.z2;
                    state.z2 = b2 * clipped - a2 * blocked;

                    const auto blended = 0.99f * (float) blocked + 0.01f * (driveGain * x);

                    v = toneG * (blended - state.tone1);
                    y = v + state.tone1;
                    state.tone1 = y + v;

                    v = toneG * (y - state.tone2);
                    const auto toned = v + state.tone2;
                    state.tone2 = toned + v;

                    samples[c][i] = levelGain * toned;
                }
            }
        }

    private:
        struct ChannelState
        {
            float lowCut = 0.0f, tone1 = 0.0f, tone2 = 0.0f;
            double z1 = 0.0, z2 = 0.0;
        };

        ChannelState channels[maxChannels];
        float lowCutG = 0.0f, toneG = 0.0f;
        double b0 = 0.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
        const float driveGain = 15.848932f, bias = 0.08f, levelGain = 0.5f;
    };

    //==============================================================================
    // Arguments of every benchmark: channels, then block size.
    void fusedLoop (benchmark::State& state)
    {
        const auto numChannels = (int) state.range (0);
        const auto blockSize = (int) state.range (1);
        const auto input = makeInput (numChannels, blockSize);
        juce::AudioBuffer<float> buffer (numChannels, blockSize);
        FusedChain chain;
        juce::ScopedNoDenormals noDenormals;

        for (auto _ : state)
        {
            buffer.makeCopyOf (input, true);
            chain.process (buffer);
            benchmark::DoNotOptimize (buffer.getReadPointer (0));
            benchmark::ClobberMemory();
        }
    }

    void processBlock (benchmark::State& state, OverdriveKernel::InstructionSet set, bool turningTheTone)
    {
        OverdriveKernel::pinInstructionSet (set);
        const auto numChannels = (int) state.range (0);
        const auto blockSize = (int) state.range (1);
        const auto input = makeInput (numChannels, blockSize);
        juce::AudioBuffer<float> buffer (numChannels, blockSize);
        juce::MidiBuffer midi;

        BraskOverdriveAudioProcessor processor;
        const auto layout = numChannels == 1 ? juce::AudioChannelSet::mono() : juce::AudioChannelSet::stereo();
        processor.setBusesLayout ({ { layout }, { layout } });
        processor.prepareToPlay (sampleRate, blockSize);

        // Past the bias ramp and the blend fade: the pedal as it plays for hours.
        for (int block = 0; block < 4800; ++block)
        {
            buffer.makeCopyOf (input, true);
            processor.processBlock (buffer, midi);
        }

        auto toneUp = false;

        for (auto _ : state)
        {
            // A hand on the tone knob: a new cutoff for every block.
            if (turningTheTone)
                processor.setTone ((toneUp = ! toneUp) ? 0.55f : 0.45f);

            buffer.makeCopyOf (input, true);
            processor.processBlock (buffer, midi);
            benchmark::DoNotOptimize (buffer.getReadPointer (0));
            benchmark::ClobberMemory();
        }

        OverdriveKernel::unpinInstructionSet();
    }

    //==============================================================================
    /** Prints as usual, with the figures that matter added to every row, worked
        out from the CPU time per block: ns per sample and channel, how many times
        faster than real time, and for processBlock its time relative to the fused
        loop with the same channels and block size, measured earlier in the same run.
    */
    class PedalReporter final : public benchmark::ConsoleReporter
    {
    public:
        void ReportRuns (const std::vector<Run>& runs) override
        {
            auto withFigures = runs;

            for (auto& run : withFigures)
            {
                // Names read "family/channels/blockSize".
                const auto name = run.benchmark_name();
                const auto first = name.find ('/');
                const auto second = name.find ('/', first + 1);

                // A spread or a ratio among repetitions is no time to work from.
                if (first == std::string::npos || second == std::string::npos
                    || run.aggregate_unit != benchmark::StatisticUnit::kTime || run.aggregate_name == "stddev")
                    continue;

                const auto family = name.substr (0, first);
                const auto numChannels = std::stod (name.substr (first + 1, second - first - 1));
                const auto blockSize = std::stod (name.substr (second + 1));  // stops at "_median" and the like
                const auto key = std::make_tuple (run.aggregate_name, numChannels, blockSize);
                const auto seconds = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier (run.time_unit);

                run.counters["ns/sample/ch"] = seconds * 1.0e9 / (blockSize * numChannels);
                run.counters["x_realtime"] = blockSize / sampleRate / seconds;

                if (family == "fusedLoop")
                    fusedSeconds[key] = seconds;
                else if (fusedSeconds.count (key) > 0)
                    run.counters["x_fused"] = seconds / fusedSeconds[key];
            }

            ConsoleReporter::ReportRuns (withFigures);
        }

    private:
        std::map<std::tuple<std::string, double, double>, double> fusedSeconds;  // by statistic, channels, block
    };

    void blockSizes (benchmark::internal::Benchmark* benchmark)
    {
        for (const auto numChannels : { 2, 1 })
            for (const auto blockSize : { 16, 64, 512, 4096 })
                benchmark->Args ({ numChannels, blockSize });
    }
}

BENCHMARK (fusedLoop)->Apply (blockSizes);

int main (int argc, char** argv)
{
    using Set = OverdriveKernel::InstructionSet;
    const auto widest = OverdriveKernel::widestSupported();
    benchmark::RegisterBenchmark ("processBlock", processBlock, widest, false)->Apply (blockSizes);
    benchmark::RegisterBenchmark ("processBlockTurningTone", processBlock, widest, true)->Apply (blockSizes);

    const std::pair<Set, const char*> narrower[] = { { Set::avx2, "processBlock_AVX2" },
                                                     { Set::baseline, "processBlock_Baseline" } };

    for (const auto& [set, name] : narrower)
        if (set != widest && OverdriveKernel::canRun (set))
            benchmark::RegisterBenchmark (name, processBlock, set, false)->Apply (blockSizes);

    benchmark::Initialize (&argc, argv);

    if (benchmark::ReportUnrecognizedArguments (argc, argv))
        return 1;

    PedalReporter reporter;
    benchmark::RunSpecifiedBenchmarks (&reporter);
    benchmark::Shutdown();
    return 0;
}
