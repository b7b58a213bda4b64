# The asan tree's runtime (CMakePresets.json includes this after project()): the
# plug-in modules are linked with --no-undefined, so every binary takes clang's
# sanitizer runtime as a shared library, found at run time where clang keeps it.
execute_process (COMMAND "${CMAKE_CXX_COMPILER}" -print-resource-dir
                 OUTPUT_VARIABLE BRASK_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
foreach (kind EXE SHARED MODULE)
    string (APPEND CMAKE_${kind}_LINKER_FLAGS " -shared-libsan -Wl,-rpath,${BRASK_CLANG_RESOURCE_DIR}/lib/linux")
endforeach()
