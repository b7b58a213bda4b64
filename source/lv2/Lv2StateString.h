#pragma once

#include <cstddef>

//==============================================================================
/**
    The saved state as the LV2 carries it: the pedal's bytes in the framework's
    own text encoding, "<decimal byte count>.<characters>", six bits to a
    character from the framework's alphabet (not standard base64).

    The framework's decoder is no judge of such a string: it sizes its block from
    the count before it looks at anything else (a count of -1 or 3000000000 asks
    for gigabytes and throws), drops the characters beyond what the count allows,
    leaves zeros where fewer follow, skips characters it does not know, and still
    reports success. So every string a host hands back is checked here first; only one
    the pedal could have written reaches the decoder.
*/
namespace Lv2StateString
{
    /** The most bytes a state may declare. The pedal writes 16; a few kilobytes
        leave room for anything a later version might add.
    */
    constexpr size_t longestState = 4096;

    /** Why the `size` bytes at `data` (as a host hands them back, with or without
        the terminating NUL the pedal stores) are not a state string the pedal
        could have written, in words for the host's log; null when they are.
        Never allocates or throws.
    */
    const char* problemWith (const void* data, size_t size) noexcept;
}
