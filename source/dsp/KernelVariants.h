#pragma once

#include "KernelLayout.h"

#include <cstddef>

//==============================================================================
/**
    The kernel's machine code, one variant per instruction set this build carries
    (compiled in KernelVariants.cpp, once for each set).
*/
namespace KernelVariants
{
    struct Variant
    {
        KernelLayout::VariantFunction process;

        /** Lanes of each type in the variant's register for the two channels:
            two or more lets a single channel play its halves side by side.
        */
        size_t (*pairLanes)();
    };

    /** The variant for a set this build carries (the portable baseline for any other). */
    Variant forSet (KernelLayout::InstructionSet) noexcept;
}
