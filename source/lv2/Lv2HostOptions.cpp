#include "Lv2HostOptions.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/parameters/parameters.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace
{
    template <typename Number>
    double readAs (const void* value)
    {
        // The host's value need not be aligned for its type.
        Number number;
        std::memcpy (&number, value, sizeof (number));
        return (double) number;
    }
}

//==============================================================================
Lv2HostOptions::Urids::Urids (const LV2_URID_Map& map)
    : atomInt (map.map (map.handle, LV2_ATOM__Int))
    , atomLong (map.map (map.handle, LV2_ATOM__Long))
    , atomFloat (map.map (map.handle, LV2_ATOM__Float))
    , atomDouble (map.map (map.handle, LV2_ATOM__Double))
    , maxBlockLength (map.map (map.handle, LV2_BUF_SIZE__maxBlockLength))
    , nominalBlockLength (map.map (map.handle, LV2_BUF_SIZE__nominalBlockLength))
    , minBlockLength (map.map (map.handle, LV2_BUF_SIZE__minBlockLength))
    , sampleRate (map.map (map.handle, LV2_PARAMETERS__sampleRate))
{
}

//==============================================================================
std::optional<double> Lv2HostOptions::readNumber (const LV2_Options_Option& option, const Urids& urids)
{
    if (option.value == nullptr)
        return std::nullopt;

    // The type says integer or floating point; the size says how wide, whatever
    // width the type's name promises.
    const auto isInteger = option.type == urids.atomInt || option.type == urids.atomLong;
    const auto isFloating = option.type == urids.atomFloat || option.type == urids.atomDouble;

    if (isInteger && option.size == sizeof (int32_t))
        return readAs<int32_t> (option.value);

    if (isInteger && option.size == sizeof (int64_t))
        return readAs<int64_t> (option.value);

    if (isFloating && option.size == sizeof (float))
        return readAs<float> (option.value);

    if (isFloating && option.size == sizeof (double))
        return readAs<double> (option.value);

    return std::nullopt;
}

std::optional<int32_t> Lv2HostOptions::readLength (const LV2_Options_Option& option, const Urids& urids)
{
    const auto number = readNumber (option, urids);

    if (! number || ! std::isfinite (*number) || *number != std::floor (*number)
        || *number < 0.0 || *number > (double) std::numeric_limits<int32_t>::max())
        return std::nullopt;

    return (int32_t) *number;
}

std::optional<float> Lv2HostOptions::readSampleRate (const LV2_Options_Option& option, const Urids& urids)
{
    const auto number = readNumber (option, urids);

    if (! number || ! std::isfinite (*number) || *number <= 0.0
        || *number > (double) std::numeric_limits<float>::max())
        return std::nullopt;

    return (float) *number;
}

//==============================================================================
Lv2HostOptions::Lv2HostOptions (const LV2_Options_Option* hostOptions, const LV2_URID_Map& map)
{
    const Urids urids (map);
    atomInt = urids.atomInt;
    maxBlockLength = urids.maxBlockLength;
    nominalBlockLength = urids.nominalBlockLength;
    minBlockLength = urids.minBlockLength;
    size_t count = 0;

    // LV2 ends the array with an option whose key and value are both zero; the
    // wrapper stops at the first null value, so either ends it here too.
    for (auto* option = hostOptions; option != nullptr && option->key != 0 && option->value != nullptr; ++option)
        ++count;

    // One more of each for a maximum boundMaximum may add.
    values.reserve (count + 1);
    options.reserve (count + 2);

    for (size_t i = 0; i < count; ++i)
    {
        const auto& option = hostOptions[i];
        const auto isLength = option.key == urids.maxBlockLength
                              || option.key == urids.nominalBlockLength
                              || option.key == urids.minBlockLength;

        if (isLength)
        {
            if (const auto length = readLength (option, urids))
            {
                values.push_back ({});
                values.back().length = *length;
                options.push_back ({ option.context, option.subject, option.key,
                                     (uint32_t) sizeof (int32_t), urids.atomInt, &values.back().length });
            }
        }
        else if (option.key == urids.sampleRate)
        {
            if (const auto rate = readSampleRate (option, urids))
            {
                values.push_back ({});
                values.back().rate = *rate;
                options.push_back ({ option.context, option.subject, option.key,
                                     (uint32_t) sizeof (float), urids.atomFloat, &values.back().rate });
            }
        }
        else
        {
            options.push_back (option);
        }
    }

    options.push_back ({ LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr });
}

int32_t Lv2HostOptions::boundMaximum (int32_t cap)
{
    jassert (cap > 0);

    const auto isKey = [] (LV2_URID key) { return [key] (const LV2_Options_Option& o) { return o.key == key; }; };
    auto maximum = std::find_if (options.begin(), options.end() - 1, isKey (maxBlockLength));

    if (maximum == options.end() - 1)
    {
        values.push_back ({});
        values.back().length = cap;
        maximum = options.insert (options.end() - 1, { LV2_OPTIONS_INSTANCE, 0, maxBlockLength,
                                                       (uint32_t) sizeof (int32_t), atomInt, &values.back().length });
    }

    // Every length in options points into values by now: readable and ours to change.
    auto& bound = *static_cast<int32_t*> (const_cast<void*> (maximum->value));

    if (bound < 1 || bound > cap)
        bound = cap;

    for (auto& option : options)
        if (option.key == nominalBlockLength || option.key == minBlockLength)
        {
            auto& length = *static_cast<int32_t*> (const_cast<void*> (option.value));
            length = std::min (length, bound);
        }

    return bound;
}
