# The panel's layout fractions live in one table, source/gui/PanelLayout.json, which
# the artwork preview and the menu icons read too. The panel's code gets them as
# constants in a header written here from that table (generated/gui/PanelLayout.h).
set (BRASK_PANEL_LAYOUT "${CMAKE_CURRENT_SOURCE_DIR}/source/gui/PanelLayout.json")
set_property (DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${BRASK_PANEL_LAYOUT}")
file (READ "${BRASK_PANEL_LAYOUT}" BRASK_PANEL_LAYOUT_TABLE)

# Each number as the table writes it, for the header below.
function (brask_layout_number out)
    string (JSON value GET "${BRASK_PANEL_LAYOUT_TABLE}" ${ARGN})
    if (NOT value MATCHES "^[0-9.eE+-]+$")
        message (FATAL_ERROR "${BRASK_PANEL_LAYOUT}: ${ARGN} is not a number (${value})")
    endif()
    set (${out} "${value}" PARENT_SCOPE)
endfunction()

brask_layout_number (bodyBox body box)
brask_layout_number (bodyMarginLeft body marginLeftShare)
brask_layout_number (bodyMarginTop body marginTopShare)
brask_layout_number (knobSize knobSize)
brask_layout_number (readOutWidth readOut width)
brask_layout_number (readOutHeight readOut heightOfWidth)
brask_layout_number (readOutFont readOut fontHeight)
foreach (knob drive tone level)
    foreach (field x shiftOfSize top readOutCentreX readOutTop)
        brask_layout_number (${knob}_${field} knobs ${knob} ${field})
    endforeach()
endforeach()
foreach (field left top width height)
    brask_layout_number (footswitch_${field} footswitch ${field})
endforeach()
foreach (field centreX width top height fontHeight)
    brask_layout_number (link_${field} link ${field})
endforeach()

file (CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/generated/gui/PanelLayout.h" @ONLY CONTENT [[
#pragma once

// Written by the build from source/gui/PanelLayout.json: change the table, not this file.
// Fractions of the panel's width (x, sizes across) and height (y, sizes down).
namespace PanelLayout
{
    struct KnobPlace
    {
        double x, shiftOfSize, top;         // the knob's square: left at x - shift x size
        double readOutCentreX, readOutTop;  // its read-out under it
    };

    constexpr double bodyBox = @bodyBox@;               // the body's box, of each side
    constexpr double bodyMarginLeft = @bodyMarginLeft@; // the share of the margin left of it
    constexpr double bodyMarginTop = @bodyMarginTop@;   // and above it

    constexpr double knobSize = @knobSize@;
    constexpr KnobPlace drive { @drive_x@, @drive_shiftOfSize@, @drive_top@, @drive_readOutCentreX@, @drive_readOutTop@ };
    constexpr KnobPlace tone { @tone_x@, @tone_shiftOfSize@, @tone_top@, @tone_readOutCentreX@, @tone_readOutTop@ };
    constexpr KnobPlace level { @level_x@, @level_shiftOfSize@, @level_top@, @level_readOutCentreX@, @level_readOutTop@ };

    constexpr double readOutWidth = @readOutWidth@;
    constexpr double readOutHeightOfWidth = @readOutHeight@;
    constexpr double readOutFontHeight = @readOutFont@;

    constexpr double footswitchLeft = @footswitch_left@, footswitchTop = @footswitch_top@;
    constexpr double footswitchWidth = @footswitch_width@, footswitchHeight = @footswitch_height@;

    constexpr double linkCentreX = @link_centreX@, linkWidth = @link_width@;
    constexpr double linkTop = @link_top@, linkHeight = @link_height@;
    constexpr double linkFontHeight = @link_fontHeight@;
}
]])

target_include_directories (BraskOverdrive PRIVATE "${CMAKE_BINARY_DIR}/generated")
