# brask_built_paths (<target> <name> <path> [<name> <path> ...])
#
# The places in this build tree a test or benchmark program opens (the built
# module, the render tool, the source's resources), compiled into one small
# generated source of its own as `brask::built::<name>` (declared in
# tests/support/BuiltPaths.h). As compile definitions they would be in every
# object's command line, and a tree at another path, such as a fresh clone,
# would miss the compiler cache for every one of the program's objects.
function (brask_built_paths target)
    set (definitions "")
    set (arguments ${ARGN})
    while (arguments)
        list (POP_FRONT arguments name path)
        string (REPLACE "\\" "\\\\" path "${path}")
        string (REPLACE "\"" "\\\"" path "${path}")
        string (APPEND definitions "const char* const ${name} = \"${path}\";\n")
    endwhile()
    set (source "${CMAKE_CURRENT_BINARY_DIR}/${target}_built_paths.cpp")
    file (GENERATE OUTPUT "${source}" CONTENT
"// Written by the build (cmake/BuiltPaths.cmake): where this tree keeps what ${target} opens.
#include \"BuiltPaths.h\"

namespace brask::built
{
${definitions}} // namespace brask::built
")
    target_sources (${target} PRIVATE "${source}")
    target_include_directories (${target} PRIVATE "${PROJECT_SOURCE_DIR}/tests/support")
endfunction()
