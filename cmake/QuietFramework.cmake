# The framework compiles inside our own targets (every target that links one of
# its modules compiles that module's sources), so our warning flags reach its
# code too and bury our own warnings under its. Its warnings are not ours to
# mend: its sources compile with warnings off and its headers are read as system
# headers, while our own code keeps -Wall -Wextra and the framework's recommended set.
#
# Included at the end of the top-level CMakeLists.txt, once every target exists:
# source-file settings hold per folder, so they go to every folder of the build.

# Every folder of the build, this one included.
function (brask_build_folders folder out)
    set (folders "${folder}")
    get_property (children DIRECTORY "${folder}" PROPERTY SUBDIRECTORIES)
    foreach (child IN LISTS children)
        brask_build_folders ("${child}" below)
        list (APPEND folders ${below})
    endforeach()
    set (${out} ${folders} PARENT_SCOPE)
endfunction()

# The framework's sources: one or a few per module, at the top of its folder.
file (GLOB BRASK_FRAMEWORK_SOURCES "${JUCE_MODULES_DIR}/*/*.cpp")
brask_build_folders ("${PROJECT_SOURCE_DIR}" BRASK_BUILD_FOLDERS)
set_source_files_properties (${BRASK_FRAMEWORK_SOURCES}
    DIRECTORY ${BRASK_BUILD_FOLDERS}
    PROPERTIES COMPILE_OPTIONS -w)

# Its headers, as system headers for whatever includes them through a module.
get_property (BRASK_FRAMEWORK_MODULES GLOBAL PROPERTY _juce_module_names)
foreach (module IN LISTS BRASK_FRAMEWORK_MODULES ITEMS juce_vst3_headers juce_lilv_headers)
    if (TARGET ${module})
        get_target_property (folders ${module} INTERFACE_INCLUDE_DIRECTORIES)
        if (folders)
            set_property (TARGET ${module} APPEND PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${folders})
        endif()
    endif()
endforeach()
