#include "lv2/Lv2StateString.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <string>

// The check a stored LV2 state passes before the framework's decoder sees it:
// everything the framework's encoder writes passes, and nothing that would make
// the decoder ask for too much memory, drop or zero bytes, or take unknown
// characters as data does.

namespace
{
    std::string encoded (size_t numBytes)
    {
        juce::MemoryBlock block (numBytes);

        for (size_t i = 0; i < numBytes; ++i)
            block[i] = (char) (i * 37 + 11);

        return block.toBase64Encoding().toStdString();
    }

    bool passes (const std::string& text, bool withNul = true)
    {
        return Lv2StateString::problemWith (text.c_str(), text.size() + (withNul ? 1 : 0)) == nullptr;
    }
}

TEST (Lv2StateString, EverythingTheFrameworksEncoderWritesPasses)
{
    for (size_t numBytes = 0; numBytes <= 64; ++numBytes)
    {
        const auto text = encoded (numBytes);
        EXPECT_TRUE (passes (text)) << text;
        EXPECT_TRUE (passes (text, false)) << text << " without its NUL";
    }

    EXPECT_TRUE (passes (encoded (Lv2StateString::longestState)));
}

TEST (Lv2StateString, AnythingElseIsRefusedWithAReason)
{
    const auto sixteen = encoded (16);
    const auto characters = sixteen.substr (sixteen.find ('.') + 1);

    struct Case
    {
        const char* name;
        std::string text;
    };

    const Case cases[] = {
        { "an empty string", "" },
        { "no dot", "16" },
        { "no byte count", "." + characters },
        { "a negative count", "-1." + characters },
        { "a count of -16", "-16." + characters },
        { "a count beyond 32 bits signed", "2147483648." + characters },
        { "a count of three billion", "3000000000." + characters },
        { "a count beyond 64 bits", "99999999999999999999999." + characters },
        { "a count beyond the longest state", std::to_string (Lv2StateString::longestState + 1) + "." },
        { "a sign", "+16." + characters },
        { "a space", "16 ." + characters },
        { "an exponent", "1e1." + characters },
        { "more characters than the count allows", "15." + characters },
        { "fewer characters than the count needs", "17." + characters },
        { "a count with no characters at all", "16." },
        { "a string cut short", "16." + characters.substr (0, 6) },
        { "an equals sign (standard base64)", "16." + characters.substr (0, 20) + "==" },
        { "a slash (standard base64)", "16." + characters.substr (0, 21) + "/" },
        { "a character past ASCII", "16." + characters.substr (0, 21) + "\xc3" },
    };

    for (const auto& c : cases)
    {
        const auto* problem = Lv2StateString::problemWith (c.text.c_str(), c.text.size() + 1);
        ASSERT_NE (problem, nullptr) << c.name;
        EXPECT_NE (std::string (problem).find ("saved state"), std::string::npos) << c.name << ": " << problem;
    }

    // Bytes that are no text at all: a NUL inside, or nothing.
    const char withNul[] = { '1', '6', '.', 'A', '\0', 'B', '\0' };
    EXPECT_NE (Lv2StateString::problemWith (withNul, sizeof (withNul)), nullptr);
    EXPECT_NE (Lv2StateString::problemWith (nullptr, 8), nullptr);
    EXPECT_NE (Lv2StateString::problemWith ("16.", 0), nullptr);
}
