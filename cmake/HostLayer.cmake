# `brask_host_layer`: the framework as the programs that load the built module
# through it (the host-level tests, the demo phrase) need it, with VST3 hosting
# on. It is the plug-in's own compile of the framework, which has hosting on for
# this (CMakeLists.txt): a tree compiles the framework once. Those programs get
# the pedal's classes too, and link none of them; they load the pedal only as a
# host does, from its built module.
add_library (brask_host_layer INTERFACE)

target_link_libraries (brask_host_layer
    INTERFACE
        BraskOverdrive
        $<TARGET_NAME_IF_EXISTS:juce::pkgconfig_JUCE_IMG_LINUX_DEPS>)
