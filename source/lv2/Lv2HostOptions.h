#pragma once

#include <juce_core/juce_core.h>

#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

#include <cstdint>
#include <optional>
#include <vector>

//==============================================================================
/**
    The options an LV2 host hands a new instance, rewritten in the one encoding
    the framework's LV2 wrapper reads.

    Hosts disagree on how to type a block length or a sample rate: Audacity sends
    bufsz:maxBlockLength as an atom:Int 8 bytes wide (a size_t), others an atom:Int
    of 4 bytes, an atom:Long, or a float. The wrapper reads a length only as
    exactly one of those (an Int of 4 bytes, a Long of 8, a Float of 4, a Double of
    8) and refuses to make an instance when it cannot read the maximum. This layer
    reads each of bufsz:maxBlockLength, bufsz:nominalBlockLength,
    bufsz:minBlockLength and param:sampleRate whatever its width and passes it on
    as the wrapper reads it best: every length as a 4-byte atom:Int, the rate as
    an atom:Float.

    What cannot be a length (a negative, fractional or non-finite number, one
    beyond 2^31 - 1 samples, a value of another type or of a width no numeric
    atom has) is left out, as is a rate that is not a positive finite number.
    boundMaximum then gives the wrapper a maximum it can size its buffers for,
    whether the host sent one or not. Every other option reaches the wrapper
    untouched.

    Built on any thread the host instantiates from; it allocates, so it is never
    used on the audio thread. The rewritten array points into this object, which
    must outlive its use.
*/
class Lv2HostOptions final
{
public:
    //==============================================================================
    /** Reads the host's options array (which may be null: then there are none). */
    Lv2HostOptions (const LV2_Options_Option* hostOptions, const LV2_URID_Map& map);

    /** The options as the wrapper reads them, ended by the all-zero option LV2 requires. */
    const LV2_Options_Option* get() const noexcept { return options.data(); }

    /** Gives the wrapper a maximum block length of at most cap (which must be
        positive) and returns it: the host's own when it sent one from 1 to cap,
        cap otherwise (none sent, 0, or more than cap; the wrapper would otherwise
        take a host's 2^31 - 1 at its word and size its buffers for it). A nominal
        or minimum length above the result is lowered to it, so that the three
        still agree. Call it once.
    */
    int32_t boundMaximum (int32_t cap);

    //==============================================================================
    /** The URIDs of the types and keys this layer reads, mapped through the host's map. */
    struct Urids
    {
        explicit Urids (const LV2_URID_Map& map);

        LV2_URID atomInt, atomLong, atomFloat, atomDouble;
        LV2_URID maxBlockLength, nominalBlockLength, minBlockLength, sampleRate;
    };

    /** A length of samples, from any numeric encoding; nothing when it cannot be one. */
    static std::optional<int32_t> readLength (const LV2_Options_Option& option, const Urids& urids);

    /** A positive finite sample rate, from any numeric encoding; nothing otherwise. */
    static std::optional<float> readSampleRate (const LV2_Options_Option& option, const Urids& urids);

private:
    //==============================================================================
    static std::optional<double> readNumber (const LV2_Options_Option& option, const Urids& urids);

    // Each rewritten option points at its value here: reserved up front, so never moved.
    union Value
    {
        int32_t length;
        float rate;
    };

    std::vector<Value> values;
    std::vector<LV2_Options_Option> options;
    LV2_URID atomInt, maxBlockLength, nominalBlockLength, minBlockLength;

    // Not copyable: the rewritten array points at this object's own values.
    JUCE_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR (Lv2HostOptions)
};
