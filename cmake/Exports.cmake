# The modules are guests in a host's process: each shows the host its format's
# entry points and nothing else. Everything the framework, the standard library's
# templates and the embedded pictures would otherwise export stays inside, where
# it can neither collide with another plug-in's copy (many plug-ins carry a
# `BinaryData::getNamedResource`) nor, as a GNU-unique symbol, pin the module in
# memory after the host unloads it.
#
# The allow-lists are also what tests/module/alone checks each built module against.
# A Windows module exports only what its code declares dllexport, which the
# framework does for exactly the Windows entry points; the PE linker reads the
# version script and ignores it, and scripts/test-win64 checks the result.
if (WIN32)
    set (BRASK_VST3_EXPORTS GetPluginFactory InitDll ExitDll)
else()
    set (BRASK_VST3_EXPORTS GetPluginFactory ModuleEntry ModuleExit)
endif()
set (BRASK_LV2_EXPORTS lv2_descriptor lv2ui_descriptor)

# The pictures' generated code compiles outside the plug-in's targets, which the
# framework already compiles with hidden visibility.
set_target_properties (BraskOverdriveBinaryData PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN TRUE)

function (brask_export_only target)
    set (script "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports")
    list (JOIN ARGN "; " names)
    file (CONFIGURE OUTPUT "${script}" CONTENT "{\n    global: ${names};\n    local: *;\n};\n")
    target_link_options (${target} PRIVATE "LINKER:--version-script=${script}")
    set_property (TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${script}")
endfunction()

if (TARGET BraskOverdrive_VST3)
    brask_export_only (BraskOverdrive_VST3 ${BRASK_VST3_EXPORTS})
endif()

if (TARGET BraskOverdrive_LV2)
    brask_export_only (BraskOverdrive_LV2 ${BRASK_LV2_EXPORTS})
endif()
