// Plays blocks of 512 samples through the chain's kernel on one instruction set,
// for counting the instructions it executes under an emulator (see
// scripts/kernel-instruction-count): the difference between two runs that differ
// only in the number of blocks is the kernel's own work.
//
//   brask_kernel_instruction_count SET CHANNELS BLOCKS      SET: baseline, neon, sve, sve2, avx2, avx512

#include "dsp/OverdriveKernel.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main (int argc, char** argv)
{
    using Set = OverdriveKernel::InstructionSet;
    const struct
    {
        const char* name;
        Set set;
    } names[] = {
        { "baseline", Set::baseline }, { "neon", Set::neon }, { "sve", Set::sve }, { "sve2", Set::sve2 }, { "avx2", Set::avx2 }, { "avx512", Set::avx512 }
    };

    if (argc != 4)
    {
        std::fprintf (stderr, "usage: %s SET CHANNELS BLOCKS\n", argv[0]);
        return 2;
    }

    const Set* set = nullptr;

    for (const auto& entry : names)
        if (std::strcmp (argv[1], entry.name) == 0)
            set = &entry.set;

    const auto numChannels = std::atoi (argv[2]);
    const auto numBlocks = std::atoi (argv[3]);

    if (set == nullptr || ! OverdriveKernel::canRun (*set) || numChannels < 1 || numChannels > 2 || numBlocks < 0)
    {
        std::fprintf (stderr, "%s: cannot run %s with %s channels here\n", argv[0], argv[1], argv[2]);
        return 1;
    }

    constexpr int blockLength = 512;
    std::vector<float> left ((size_t) blockLength), right ((size_t) blockLength);

    for (size_t i = 0; i < left.size(); ++i)
    {
        left[i] = 0.5f * std::sin (0.0108f * (float) i);
        right[i] = 0.3f * std::sin (0.0431f * (float) i);
    }

    OverdriveKernel::pinInstructionSet (*set);
    OverdriveKernel kernel;
    kernel.prepare (48000.0, numChannels);
    kernel.setToneCutoff (2000.0f);

    // One block before counting starts, so that each run works out the same tables.
    float* channels[] { left.data(), right.data() };
    kernel.process (channels, numChannels, blockLength, 30.0f, 0.08f, 0.7f);

    for (int block = 0; block < numBlocks; ++block)
        kernel.process (channels, numChannels, blockLength, 30.0f, 0.08f, 0.7f);

    std::printf ("%g\n", (double) left.back());
    return 0;
}
