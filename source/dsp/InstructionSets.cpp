// What this machine can run, read once from the processor and the operating
// system, and which of the built instruction sets a kernel prepared now takes.

#include "OverdriveKernel.h"

#include <hwy/detect_compiler_arch.h>

#include <atomic>

#if HWY_ARCH_X86
#include <cpuid.h>
#elif HWY_ARCH_ARM_A64
#include <sys/auxv.h>
#endif

namespace
{
    /** What the processor offers and the operating system saves across a task
        switch, read from the processor itself: the instructions each variant is
        compiled for must all be present.
    */
    struct MachineSupport
    {
        bool avx2 = false, avx512 = false;
        bool neon = false, sve = false, sve2 = false;

        MachineSupport()
        {
#if HWY_ARCH_X86
            unsigned int a = 0, b = 0, c = 0, d = 0;

            if (__get_cpuid (1, &a, &b, &c, &d) == 0)
                return;

            const auto has = [] (unsigned int reg, int bit) { return (reg & (1u << bit)) != 0; };
            const auto sse4 = has (c, 0) && has (c, 9) && has (c, 19) && has (c, 20) && has (c, 1) && has (c, 25);
            const auto fma = has (c, 12), osSavesState = has (c, 27), avx = has (c, 28), f16c = has (c, 29);

            if (__get_cpuid_count (7, 0, &a, &b, &c, &d) == 0 || ! osSavesState)
                return;

            const auto avx2Instructions = has (b, 5) && has (b, 3) && has (b, 8);
            const auto avx512Instructions = has (b, 16) && has (b, 17) && has (b, 30) && has (b, 31);

            // XCR0: which register states the operating system saves (SSE and
            // AVX halves; then the AVX-512 mask and upper registers too).
            unsigned int stateLow = 0, stateHigh = 0;
            __asm__ volatile("xgetbv"
                             : "=a"(stateLow), "=d"(stateHigh)
                             : "c"(0));
            const auto osSavesAvx = (stateLow & 0x06u) == 0x06u;
            const auto osSavesAvx512 = (stateLow & 0xe6u) == 0xe6u;

            avx2 = sse4 && avx && avx2Instructions && fma && f16c && osSavesAvx;
            avx512 = avx2 && avx512Instructions && osSavesAvx512;
#elif HWY_ARCH_ARM_A64
            // The kernel lists a feature only when it also saves its registers.
            // NEON is asked for although every Armv8-A processor has it: the
            // variant uses no AES instruction, which the Raspberry Pi 4 lacks.
            const auto hardware = getauxval (AT_HWCAP), hardware2 = getauxval (AT_HWCAP2);
            neon = (hardware & HWCAP_ASIMD) != 0;
            sve = neon && (hardware & HWCAP_SVE) != 0;
            sve2 = sve && (hardware2 & HWCAP2_SVE2) != 0;
#endif
        }
    };

    const MachineSupport& machineSupport() noexcept
    {
        static const MachineSupport support;
        return support;
    }

    std::atomic<int> pinnedSet { -1 };
}

//==============================================================================
std::vector<OverdriveKernel::InstructionSet> OverdriveKernel::builtInstructionSets()
{
#if HWY_ARCH_X86
    return { InstructionSet::baseline, InstructionSet::avx2, InstructionSet::avx512 };
#elif HWY_ARCH_ARM_A64
    return { InstructionSet::baseline, InstructionSet::neon, InstructionSet::sve, InstructionSet::sve2 };
#else
    return { InstructionSet::baseline };
#endif
}

bool OverdriveKernel::canRun (InstructionSet set) noexcept
{
    const auto& machine = machineSupport();

    switch (set)
    {
        case InstructionSet::baseline: return true;
        case InstructionSet::avx512: return machine.avx512;
        case InstructionSet::avx2: return machine.avx2;
        case InstructionSet::sve2: return machine.sve2;
        case InstructionSet::sve: return machine.sve;
        case InstructionSet::neon: return machine.neon;
    }

    return false;
}

OverdriveKernel::InstructionSet OverdriveKernel::widestSupported() noexcept
{
    // Widest first; a set of another processor family is never runnable here.
    for (const auto set : { InstructionSet::avx512, InstructionSet::avx2,
                            InstructionSet::sve2, InstructionSet::sve, InstructionSet::neon })
        if (canRun (set))
            return set;

    return InstructionSet::baseline;
}

void OverdriveKernel::pinInstructionSet (InstructionSet set) noexcept
{
    jassert (canRun (set));
    pinnedSet.store ((int) set);
}

void OverdriveKernel::unpinInstructionSet() noexcept
{
    pinnedSet.store (-1);
}

OverdriveKernel::InstructionSet OverdriveKernel::chosenInstructionSet() noexcept
{
    const auto pinned = pinnedSet.load();
    return pinned >= 0 && canRun ((InstructionSet) pinned) ? (InstructionSet) pinned : widestSupported();
}
