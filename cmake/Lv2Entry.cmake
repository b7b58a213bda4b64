# The LV2 module's entry points are our own (source/lv2/Lv2Exports.cpp, the plug-in
# in Lv2PluginInstance.cpp, the UI in Lv2UiInstance.cpp): the plug-in's
# reads the block-length and sample-rate options in whatever width the host sends
# them and hands the framework's wrapper the encoding it understands (Audacity's
# 8-byte atom:Int would otherwise make the wrapper refuse to load); the UI's lets
# Audacity embed the pedal's X11 UI. The framework's sources stay as Debian ships
# them: only the wrapper's translation unit is compiled with its entries renamed,
# so that ours are the ones hosts find.
# The entry also gives the pedal's settings control ports (hosts such as Audacity
# keep an effect's settings as port values only), declared in the bundle's data by
# cmake/Lv2BundleData.cmake, which also files the plug-in under its LV2 class.
#
# `brask_lv2_glue`: the options reader, the setting ports' rule, the audio path and the
# stored state's check, which only the LV2 needs. The LV2 module links it, and so do the tests that check them in-process;
# the VST3 and the Standalone carry none of it.
add_library (brask_lv2_glue STATIC
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2AudioPath.cpp"
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2HostOptions.cpp"
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2SettingPorts.cpp"
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2StateString.cpp")
target_link_libraries (brask_lv2_glue PUBLIC BraskOverdrive)

# Our entry layer in front of the wrapper: the exports, the plug-in and UI instances.
set (BRASK_LV2_ENTRY_SOURCES
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2Exports.cpp"
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2PluginInstance.cpp"
    "${CMAKE_SOURCE_DIR}/source/lv2/Lv2UiInstance.cpp"
    "${CMAKE_SOURCE_DIR}/source/lv2/SuilModuleFolder.cpp")

# The framework's LV2 wrapper source, whose entry points are renamed wherever it is compiled.
function (brask_lv2_client_sources out)
    get_target_property (sources juce_audio_plugin_client_LV2 INTERFACE_SOURCES)
    list (FILTER sources INCLUDE REGEX "/juce_audio_plugin_client_LV2\\.cpp$")
    list (LENGTH sources count)
    if (NOT count EQUAL 1)
        message (FATAL_ERROR "Cannot find the framework's LV2 wrapper source to rename its entry point")
    endif()
    set (${out} ${sources} PARENT_SCOPE)
endfunction()

# Our entry and the framework's wrapper compiled into a program as into the module,
# with the same settings, so that it calls lv2_descriptor in its own process (the
# LV2 fuzz driver: tests/fuzz/CMakeLists.txt says why it does not load the module).
# Our entry's objects are the module's own (brask_lv2_entry below); the framework's
# wrapper is compiled again, in the program.
function (brask_add_lv2_entry target)
    brask_lv2_client_sources (client)
    set_property (SOURCE ${client} TARGET_DIRECTORY ${target}
        APPEND PROPERTY COMPILE_DEFINITIONS lv2_descriptor=juce_lv2_descriptor lv2ui_descriptor=juce_lv2ui_descriptor)
    target_sources (${target} PRIVATE $<TARGET_OBJECTS:brask_lv2_entry>)
    target_include_directories (${target} PRIVATE $<TARGET_PROPERTY:BraskOverdrive,INCLUDE_DIRECTORIES>)
    target_link_libraries (${target} PRIVATE brask_lv2_glue juce::juce_audio_plugin_client_LV2)
    target_compile_definitions (${target} PRIVATE "JucePlugin_LV2URI=\"${BRASK_LV2_URI}\"")
endfunction()

if (NOT TARGET BraskOverdrive_LV2)
    return()
endif()

brask_lv2_client_sources (BRASK_LV2_CLIENT_SOURCES)

set_property (SOURCE ${BRASK_LV2_CLIENT_SOURCES}
    DIRECTORY "${CMAKE_SOURCE_DIR}"
    APPEND PROPERTY COMPILE_DEFINITIONS lv2_descriptor=juce_lv2_descriptor lv2ui_descriptor=juce_lv2ui_descriptor)

# Compiled once, with the module's settings (its definitions, include folders and
# options, position-independent, hidden symbols), for the module and the LV2 fuzz driver.
add_library (brask_lv2_entry OBJECT ${BRASK_LV2_ENTRY_SOURCES})
target_include_directories (brask_lv2_entry PRIVATE $<TARGET_PROPERTY:BraskOverdrive_LV2,INCLUDE_DIRECTORIES>)
target_compile_definitions (brask_lv2_entry PRIVATE $<TARGET_PROPERTY:BraskOverdrive_LV2,COMPILE_DEFINITIONS>)
target_compile_options (brask_lv2_entry PRIVATE $<TARGET_PROPERTY:BraskOverdrive_LV2,COMPILE_OPTIONS>)
set_target_properties (brask_lv2_entry PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
# What the module's own compile waits for (the shared code and what it generates).
add_dependencies (brask_lv2_entry BraskOverdrive)
target_sources (BraskOverdrive_LV2 PRIVATE $<TARGET_OBJECTS:brask_lv2_entry>)
target_link_libraries (BraskOverdrive_LV2 PRIVATE brask_lv2_glue)

# The setting ports' table, from the one the plug-in reads, for the bundle's data
# (a program of the target's, so a cross build runs it under its emulator).
add_executable (brask_lv2_port_table "${CMAKE_SOURCE_DIR}/source/lv2/Lv2SettingPortTablePrinter.cpp")
target_include_directories (brask_lv2_port_table PRIVATE "${CMAKE_SOURCE_DIR}/source")
add_dependencies (BraskOverdrive_LV2 brask_lv2_port_table)
set (BRASK_LV2_PORT_TABLE "${CMAKE_BINARY_DIR}/lv2-setting-ports.tsv")

# After the framework has written the bundle's data (post-build steps run in the
# order they are added).
add_custom_command (TARGET BraskOverdrive_LV2 POST_BUILD
    COMMAND brask_lv2_port_table "${BRASK_LV2_PORT_TABLE}"
    COMMAND ${CMAKE_COMMAND} "-DBUNDLE=$<TARGET_FILE_DIR:BraskOverdrive_LV2>" -DCLASS=lv2:DistortionPlugin
            "-DPORTS=${BRASK_LV2_PORT_TABLE}"
            -DLICENSE_URI=https://spdx.org/licenses/GPL-3.0-or-later.html
            -P "${CMAKE_SOURCE_DIR}/cmake/Lv2BundleData.cmake"
    VERBATIM)
