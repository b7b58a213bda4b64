#include "Lv2StateString.h"

#include <cstring>

namespace
{
    // The framework's alphabet, in the order of the six-bit values it stands for.
    constexpr char alphabet[] = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";

    bool isInAlphabet (char c) noexcept
    {
        return c != '\0' && std::memchr (alphabet, c, sizeof (alphabet) - 1) != nullptr;
    }

    bool isDigit (char c) noexcept
    {
        return c >= '0' && c <= '9';
    }
}

const char* Lv2StateString::problemWith (const void* data, size_t size) noexcept
{
    if (data == nullptr || size == 0)
        return "the saved state is empty";

    const auto* text = static_cast<const char*> (data);

    // The pedal stores the string with its NUL; a host may hand it back without.
    if (text[size - 1] == '\0')
        --size;

    if (std::memchr (text, '\0', size) != nullptr)
        return "the saved state is not text";

    const auto* dot = static_cast<const char*> (std::memchr (text, '.', size));

    if (dot == nullptr || dot == text)
        return "the saved state has no byte count";

    // Digits only, and few of them: no sign, no space, no exponent.
    size_t declared = 0;

    for (const auto* c = text; c != dot; ++c)
    {
        if (! isDigit (*c))
            return "the saved state's byte count is not a decimal number";

        declared = declared * 10 + (size_t) (*c - '0');

        if (declared > longestState)
            return "the saved state declares more bytes than the pedal ever writes";
    }

    const auto* characters = dot + 1;
    const auto numCharacters = size - (size_t) (characters - text);

    for (size_t i = 0; i < numCharacters; ++i)
        if (! isInAlphabet (characters[i]))
            return "the saved state holds characters outside its encoding";

    // Each character carries six bits, and the writer emits just enough for the
    // bytes: fewer would leave bytes the decoder quietly takes as zero (a cut
    // string would switch the pedal off), more it drops without a word.
    const auto expected = (declared * 8 + 5) / 6;

    if (numCharacters < expected)
        return "the saved state is cut short: it holds fewer characters than its byte count needs";

    if (numCharacters > expected)
        return "the saved state holds more characters than its byte count allows";

    return nullptr;
}
