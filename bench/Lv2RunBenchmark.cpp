#include "BuiltPaths.h"
#include "plugin/BraskOverdriveAudioProcessor.h"

#include <benchmark/benchmark.h>
#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

// What the LV2 entry point costs on top of the pedal itself: a stereo run through
// the built module's lv2_descriptor beside processBlock of an in-process pedal on
// the same block, measured in the same run, and their ratio.
//
//     build/bench/brask_lv2_run_benchmark --benchmark_repetitions=5
//
// Goal: the LV2 run at most 1.2 times processBlock's time.

namespace
{
    constexpr double sampleRate = 48000.0;
    constexpr double pi = 3.14159265358979323846;

    void fill (std::vector<float>& left, std::vector<float>& right)
    {
        for (size_t i = 0; i < left.size(); ++i)
        {
            left[i] = (float) (0.6 * std::sin (2.0 * pi * 110.0 * (double) i / sampleRate));
            right[i] = (float) (0.6 * std::sin (2.0 * pi * 165.0 * (double) i / sampleRate));
        }
    }

    void processBlock (benchmark::State& state)
    {
        const auto length = (int) state.range (0);
        BraskOverdriveAudioProcessor pedal;
        pedal.prepareToPlay (sampleRate, 8192);
        std::vector<float> left ((size_t) length), right ((size_t) length);
        fill (left, right);
        float* channels[] = { left.data(), right.data() };
        juce::MidiBuffer midi;

        for (auto _ : state)
        {
            juce::AudioBuffer<float> buffer (channels, 2, length);
            pedal.processBlock (buffer, midi);
            benchmark::ClobberMemory();
        }
    }

    void lv2Run (benchmark::State& state)
    {
        // Another build's module may be named to compare with (BRASK_LV2_MODULE=path).
        static void* module = dlopen (std::getenv ("BRASK_LV2_MODULE") != nullptr ? std::getenv ("BRASK_LV2_MODULE")
                                                                                  : brask::built::lv2Module,
                                      RTLD_NOW | RTLD_LOCAL);

        if (module == nullptr)
        {
            state.SkipWithError (dlerror());
            return;
        }

        const auto* descriptor = reinterpret_cast<const LV2_Descriptor* (*) (uint32_t)> (dlsym (module, "lv2_descriptor")) (0);
        static std::map<std::string, LV2_URID> ids;
        LV2_URID_Map map { &ids, [] (LV2_URID_Map_Handle handle, const char* uri) {
                              auto& known = *static_cast<std::map<std::string, LV2_URID>*> (handle);
                              return known.emplace (uri, (LV2_URID) known.size() + 1).first->second;
                          } };
        const LV2_Feature mapFeature { LV2_URID__map, &map };
        const LV2_Feature* features[] = { &mapFeature, nullptr };
        auto* instance = descriptor->instantiate (descriptor, sampleRate, "", features);

        const auto length = (uint32_t) state.range (0);
        std::vector<float> left (length), right (length);
        fill (left, right);
        std::vector<uint64_t> atomInput (2), atomOutput (512);
        auto* in = reinterpret_cast<LV2_Atom_Sequence*> (atomInput.data());
        auto* out = reinterpret_cast<LV2_Atom_Sequence*> (atomOutput.data());
        float latency = 0.0f, freeWheeling = 0.0f, enabled = 1.0f;
        float settings[] = { 0.5f, 0.5f, 0.5f, 1.0f };
        const auto sequenceType = map.map (map.handle, LV2_ATOM__Sequence);
        const auto chunkType = map.map (map.handle, LV2_ATOM__Chunk);

        // In place, as most hosts pass their buffers.
        descriptor->connect_port (instance, 0, left.data());
        descriptor->connect_port (instance, 1, right.data());
        descriptor->connect_port (instance, 2, left.data());
        descriptor->connect_port (instance, 3, right.data());
        descriptor->connect_port (instance, 4, in);
        descriptor->connect_port (instance, 5, out);
        descriptor->connect_port (instance, 6, &latency);
        descriptor->connect_port (instance, 7, &freeWheeling);
        descriptor->connect_port (instance, 8, &enabled);

        for (uint32_t setting = 0; setting < 4; ++setting)
            descriptor->connect_port (instance, 9 + setting, &settings[setting]);

        descriptor->activate (instance);

        for (auto _ : state)
        {
            in->atom = { (uint32_t) sizeof (LV2_Atom_Sequence_Body), sequenceType };
            in->body = { 0, 0 };
            out->atom = { (uint32_t) (atomOutput.size() * sizeof (uint64_t) - sizeof (LV2_Atom)), chunkType };
            descriptor->run (instance, length);
            benchmark::ClobberMemory();
        }

        descriptor->deactivate (instance);
        descriptor->cleanup (instance);
    }

    /** Prints as usual, then each block size's LV2 run time over processBlock's. */
    class RatioReporter final : public benchmark::ConsoleReporter
    {
    public:
        void ReportRuns (const std::vector<Run>& runs) override
        {
            // A single run's time, or with repetitions their median.
            for (const auto& run : runs)
                if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median")
                    seconds[run.run_name.str()] = run.GetAdjustedCPUTime();

            ConsoleReporter::ReportRuns (runs);
        }

        void Finalize() override
        {
            ConsoleReporter::Finalize();

            for (const auto& [name, time] : seconds)
                if (name.rfind ("lv2Run/", 0) == 0)
                    if (const auto found = seconds.find ("processBlock/" + name.substr (7)); found != seconds.end())
                        std::printf ("%s: %.2f x processBlock\n", name.c_str(), time / found->second);
        }

    private:
        std::map<std::string, double> seconds;
    };
}

BENCHMARK (processBlock)->Arg (64)->Arg (256)->Arg (1024);
BENCHMARK (lv2Run)->Arg (64)->Arg (256)->Arg (1024);

int main (int argc, char** argv)
{
    juce::ScopedJuceInitialiser_GUI framework;
    benchmark::Initialize (&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks (&reporter);
    benchmark::Shutdown();
    return 0;
}
