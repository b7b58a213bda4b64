#pragma once

#include <lv2/core/lv2.h>

#include <cstring>

/** The feature with `uri` in a host's null-terminated list, or null. */
inline const LV2_Feature* findLv2Feature (const LV2_Feature* const* features, const char* uri) noexcept
{
    for (auto* feature = features; feature != nullptr && *feature != nullptr; ++feature)
        if ((*feature)->URI != nullptr && std::strcmp ((*feature)->URI, uri) == 0)
            return *feature;

    return nullptr;
}
