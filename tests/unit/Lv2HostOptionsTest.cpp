#include "lv2/Lv2HostOptions.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/parameters/parameters.h>
#include <lv2/ui/ui.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include "TestNumbers.h"

// What the LV2 module makes of the block lengths and sample rate a host offers,
// in each encoding hosts are seen to use. Every case is one option among others,
// as a host sends it; the expected value is the number the host meant.

namespace
{
    // A host's URID map: every URI gets the next number, from 1.
    struct HostMap
    {
        LV2_URID_Map feature { this, [] (LV2_URID_Map_Handle handle, const char* uri) {
                                  auto& known = static_cast<HostMap*> (handle)->ids;
                                  return known.emplace (uri, (LV2_URID) known.size() + 1).first->second;
                              } };
        std::map<std::string, LV2_URID> ids;

        LV2_URID operator() (const char* uri) { return feature.map (feature.handle, uri); }
    };

    // An option's value as raw bytes of whatever width the host chose.
    struct Encoded
    {
        const char* type;
        std::vector<unsigned char> bytes;
    };

    template <typename Number>
    Encoded encode (const char* type, Number number)
    {
        std::vector<unsigned char> bytes (sizeof (number));
        std::memcpy (bytes.data(), &number, sizeof (number));
        return { type, bytes };
    }

    Encoded int32 (int32_t n) { return encode (LV2_ATOM__Int, n); }
    Encoded int64 (int64_t n) { return encode (LV2_ATOM__Int, n); }  // Audacity's size_t
    Encoded long64 (int64_t n) { return encode (LV2_ATOM__Long, n); }
    Encoded long32 (int32_t n) { return encode (LV2_ATOM__Long, n); }
    Encoded float32 (float x) { return encode (LV2_ATOM__Float, x); }
    Encoded float64 (double x) { return encode (LV2_ATOM__Float, x); }
    Encoded double64 (double x) { return encode (LV2_ATOM__Double, x); }
    Encoded double32 (float x) { return encode (LV2_ATOM__Double, x); }

    using brask::test::infinity;
    using brask::test::notANumber;
    constexpr auto int32Max = std::numeric_limits<int32_t>::max();

    struct Case
    {
        Encoded encoded;
        bool readable;
        double meant;  // the number the option stands for, when readable
    };

    const Case lengthCases[] = {
        { int32 (512), true, 512 },
        { int64 (1048576), true, 1048576 },
        { long64 (4096), true, 4096 },
        { long32 (256), true, 256 },
        { float32 (1024.0f), true, 1024 },
        { float64 (2048.0), true, 2048 },
        { double64 (8192.0), true, 8192 },
        { double32 (64.0f), true, 64 },
        { int32 (0), true, 0 },
        { int64 (int32Max), true, int32Max },
        { double64 (int32Max), true, int32Max },
        // What cannot be a number of samples.
        { int32 (-1), false, 0 },
        { int64 (-4096), false, 0 },
        { long64 ((int64_t) int32Max + 1), false, 0 },
        { int64 (std::numeric_limits<int64_t>::max()), false, 0 },
        { float32 (512.5f), false, 0 },
        { double64 (-0.5), false, 0 },
        { double64 (notANumber), false, 0 },
        { float32 ((float) infinity), false, 0 },
        { double64 (1.0e12), false, 0 },
        // Widths no numeric atom has, and types that are not numbers.
        { { LV2_ATOM__Int, { 0x00, 0x02 } }, false, 0 },
        { { LV2_ATOM__Long, std::vector<unsigned char> (16, 0) }, false, 0 },
        { { LV2_ATOM__Bool, { 1, 0, 0, 0 } }, false, 0 },
        { { LV2_ATOM__String, { '5', '1', '2', 0 } }, false, 0 },
    };

    const Case sampleRateCases[] = {
        { float32 (48000.0f), true, 48000 },
        { double64 (44100.0), true, 44100 },
        { int32 (96000), true, 96000 },
        { int64 (192000), true, 192000 },
        { long64 (88200), true, 88200 },
        { double64 (22050.5), true, 22050.5 },
        { float32 (0.0f), false, 0 },
        { int32 (-48000), false, 0 },
        { double64 (notANumber), false, 0 },
        { double64 (infinity), false, 0 },
        { double64 (1.0e300), false, 0 },
        { { LV2_ATOM__String, { '4', '8', 0 } }, false, 0 },
    };

    const char* const lengthKeys[] = { LV2_BUF_SIZE__maxBlockLength,
                                       LV2_BUF_SIZE__nominalBlockLength,
                                       LV2_BUF_SIZE__minBlockLength };

    std::string describe (const char* key, const Encoded& encoded)
    {
        return std::string (key) + " as " + encoded.type + " of " + std::to_string (encoded.bytes.size()) + " bytes";
    }

    // What a host sends: the option under test between two the layer must not touch.
    struct HostOptions
    {
        HostOptions (HostMap& map, const char* key, const Encoded& sent)
            : encoded (sent)
        {
            options = {
                { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__sequenceSize), sizeof (sequenceSize), map (LV2_ATOM__Int), &sequenceSize },
                { LV2_OPTIONS_INSTANCE, 0, map (key), (uint32_t) encoded.bytes.size(), map (encoded.type), encoded.bytes.data() },
                { LV2_OPTIONS_INSTANCE, 0, map (LV2_UI__scaleFactor), sizeof (scaleFactor), map (LV2_ATOM__Float), &scaleFactor },
                { LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr },
            };
        }

        int32_t sequenceSize = 8192;
        float scaleFactor = 1.5f;
        Encoded encoded;
        std::vector<LV2_Options_Option> options;
    };

    std::vector<LV2_Options_Option> toVector (const LV2_Options_Option* options)
    {
        std::vector<LV2_Options_Option> result;

        for (auto* option = options; option->key != 0 || option->value != nullptr; ++option)
            result.push_back (*option);

        return result;
    }

    // The option under test as the wrapper will read it: the untouched neighbours
    // first and last, and in between the rewritten option or nothing.
    void expectRewritten (HostMap& map, const char* key, const Case& c, const char* wantedType, uint32_t wantedSize)
    {
        SCOPED_TRACE (describe (key, c.encoded) + (c.readable ? "" : ", which must be left out"));

        HostOptions host (map, key, c.encoded);
        const Lv2HostOptions rewritten (host.options.data(), map.feature);
        const auto got = toVector (rewritten.get());

        // Ended as LV2 requires, right after the last option.
        const auto& end = rewritten.get()[got.size()];
        EXPECT_EQ (end.key, 0u);
        EXPECT_EQ (end.value, nullptr);

        ASSERT_EQ (got.size(), c.readable ? 3u : 2u);
        EXPECT_EQ (got.front().key, host.options[0].key);
        EXPECT_EQ (got.front().value, &host.sequenceSize);
        EXPECT_EQ (got.back().key, host.options[2].key);
        EXPECT_EQ (got.back().value, &host.scaleFactor);

        if (! c.readable)
            return;

        const auto& option = got[1];
        EXPECT_EQ (option.key, map (key));
        EXPECT_EQ (option.context, LV2_OPTIONS_INSTANCE);
        EXPECT_EQ (option.type, map (wantedType));
        ASSERT_EQ (option.size, wantedSize);
        ASSERT_NE (option.value, nullptr);

        if (option.type == map (LV2_ATOM__Int))
            EXPECT_EQ (*static_cast<const int32_t*> (option.value), (int32_t) c.meant);
        else
            EXPECT_EQ (*static_cast<const float*> (option.value), (float) c.meant);
    }
}

TEST (Lv2HostOptions, EveryBlockLengthReachesTheWrapperAsAFourByteInt)
{
    HostMap map;

    for (const auto* key : lengthKeys)
        for (const auto& c : lengthCases)
            expectRewritten (map, key, c, LV2_ATOM__Int, sizeof (int32_t));
}

TEST (Lv2HostOptions, TheSampleRateReachesTheWrapperAsAFloat)
{
    HostMap map;

    for (const auto& c : sampleRateCases)
        expectRewritten (map, LV2_PARAMETERS__sampleRate, c, LV2_ATOM__Float, sizeof (float));
}

TEST (Lv2HostOptions, AudacitysOptionsAllArriveReadable)
{
    // What Audacity 3.2.4 hands a new instance, as read in a debugger: its lengths
    // as size_t under atom:Int, the sequence size as a real atom:Int, the rate as a
    // float. The wrapper refused the 8-byte maximum, so Audacity disabled the pedal.
    HostMap map;
    int32_t sequence = 8192;
    int64_t minimum = 1, maximum = 1048576, nominal = 8192;
    float rate = 48000.0f;
    const auto intType = map (LV2_ATOM__Int);

    const LV2_Options_Option host[] = {
        { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__sequenceSize), sizeof (sequence), intType, &sequence },
        { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__minBlockLength), sizeof (minimum), intType, &minimum },
        { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__maxBlockLength), sizeof (maximum), intType, &maximum },
        { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__nominalBlockLength), sizeof (nominal), intType, &nominal },
        { LV2_OPTIONS_INSTANCE, 0, map (LV2_PARAMETERS__sampleRate), sizeof (rate), map (LV2_ATOM__Float), &rate },
        { LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr },
    };

    const Lv2HostOptions rewritten (host, map.feature);
    const auto got = toVector (rewritten.get());

    ASSERT_EQ (got.size(), 5u);
    // Not a length the wrapper reads: passed on exactly as the host sent it.
    EXPECT_EQ (got[0].value, &sequence);

    const std::pair<size_t, int32_t> lengths[] = { { 1, 1 }, { 2, 1048576 }, { 3, 8192 } };

    for (const auto& [index, length] : lengths)
    {
        EXPECT_EQ (got[index].key, host[index].key);
        EXPECT_EQ (got[index].type, intType);
        ASSERT_EQ (got[index].size, 4u);
        EXPECT_EQ (*static_cast<const int32_t*> (got[index].value), length);
    }

    EXPECT_EQ (got[4].type, map (LV2_ATOM__Float));
    EXPECT_EQ (*static_cast<const float*> (got[4].value), 48000.0f);
}

TEST (Lv2HostOptions, AHostWithoutOptionsGetsAnEmptyList)
{
    HostMap map;

    {
        const Lv2HostOptions none (nullptr, map.feature);
        ASSERT_NE (none.get(), nullptr);
        EXPECT_EQ (none.get()->key, 0u);
        EXPECT_EQ (none.get()->value, nullptr);
    }

    // An array ended by a zero key alone (its value left dangling) ends there too.
    int32_t length = 512;
    const LV2_Options_Option sloppyEnd[] = {
        { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__maxBlockLength), sizeof (length), map (LV2_ATOM__Int), &length },
        { LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, &length },
    };

    const Lv2HostOptions rewritten (sloppyEnd, map.feature);
    EXPECT_EQ (toVector (rewritten.get()).size(), 1u);
    EXPECT_EQ (rewritten.get()[1].value, nullptr);
}

TEST (Lv2HostOptions, TheWrapperGetsAMaximumOfAtMostTheCap)
{
    // What the host sends as its maximum (nothing, or a length) and what the
    // wrapper must be given with a cap of 8192; the nominal length, 4096 here,
    // never exceeds the maximum given.
    struct Row
    {
        const char* what;
        std::optional<Encoded> maximum;
        int32_t given;
        int32_t nominal;
    };

    const Row rows[] = {
        { "no maximum (lv2file, lv2apply)", std::nullopt, 8192, 4096 },
        { "a maximum of 0", int32 (0), 8192, 4096 },
        { "a maximum of 1", int32 (1), 1, 1 },
        { "a maximum of 256", int32 (256), 256, 256 },
        { "the cap itself", int32 (8192), 8192, 4096 },
        { "Audacity's 1,048,576 as 8 bytes", int64 (1048576), 8192, 4096 },
        { "2^31 - 1", int32 (std::numeric_limits<int32_t>::max()), 8192, 4096 },
        { "a negative maximum", int32 (-1), 8192, 4096 },
        { "a maximum that is no length", float32 (512.5f), 8192, 4096 },
    };

    for (const auto& row : rows)
    {
        SCOPED_TRACE (row.what);
        HostMap map;
        int32_t nominal = 4096;
        std::vector<LV2_Options_Option> host {
            { LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__nominalBlockLength), sizeof (nominal), map (LV2_ATOM__Int), &nominal },
        };

        auto sent = row.maximum;

        if (sent)
            host.push_back ({ LV2_OPTIONS_INSTANCE, 0, map (LV2_BUF_SIZE__maxBlockLength), (uint32_t) sent->bytes.size(),
                              map (sent->type), sent->bytes.data() });

        host.push_back ({ LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr });

        Lv2HostOptions rewritten (host.data(), map.feature);
        EXPECT_EQ (rewritten.boundMaximum (8192), row.given);

        std::map<LV2_URID, int32_t> lengths;

        for (const auto& option : toVector (rewritten.get()))
        {
            ASSERT_EQ (option.type, map (LV2_ATOM__Int));
            ASSERT_EQ (option.size, sizeof (int32_t));
            lengths[option.key] = *static_cast<const int32_t*> (option.value);
        }

        EXPECT_EQ (lengths.size(), 2u);
        EXPECT_EQ (lengths[map (LV2_BUF_SIZE__maxBlockLength)], row.given);
        EXPECT_EQ (lengths[map (LV2_BUF_SIZE__nominalBlockLength)], row.nominal);
        EXPECT_EQ (nominal, 4096) << "the host's own value is never written";
    }
}
