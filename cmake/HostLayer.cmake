# `brask_host_layer`: the framework's audio-processor and audio-format modules
# (and its DSP module, for the renderer's spectra) compiled once with VST3 hosting on. It must never be linked together with the
# plug-in's shared code (both carry the framework, with different settings).
add_library (brask_host_layer STATIC)

# Position-independent, so that brask-render's plot library (a shared object)
# can carry it too instead of a third compile of the framework.
set_target_properties (brask_host_layer PROPERTIES POSITION_INDEPENDENT_CODE ON)

target_link_libraries (brask_host_layer
    PRIVATE
        juce::juce_audio_utils
        juce::juce_dsp
    PUBLIC
        PkgConfig::BRASK_AUDIO_CODECS
        $<TARGET_NAME_IF_EXISTS:juce::pkgconfig_JUCE_IMG_LINUX_DEPS>
        juce::juce_recommended_config_flags
        juce::juce_recommended_warning_flags
        brask_framework_switches)

# The one switch the plug-in's compile of the framework does not have.
target_compile_definitions (brask_host_layer PUBLIC JUCE_PLUGINHOST_VST3=1)

target_include_directories (brask_host_layer
    SYSTEM INTERFACE $<TARGET_PROPERTY:brask_host_layer,INCLUDE_DIRECTORIES>)
target_compile_definitions (brask_host_layer
    INTERFACE $<TARGET_PROPERTY:brask_host_layer,COMPILE_DEFINITIONS>)
