# Cross-building for 64-bit Windows on an x86-64 Debian: Debian's MinGW-w64 with
# the posix thread model, the image libraries scripts/build-win64 cross-builds,
# and Wine to run what the build and the tests must run.
#
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
set (CMAKE_SYSTEM_NAME Windows)
set (CMAKE_SYSTEM_PROCESSOR AMD64)

# The -posix compilers: Debian's default MinGW-w64 ones use the win32 thread
# model, which has no std::thread in GCC 12.
set (BRASK_CROSS_TRIPLE x86_64-w64-mingw32)
set (CMAKE_C_COMPILER ${BRASK_CROSS_TRIPLE}-gcc-posix)
set (CMAKE_CXX_COMPILER ${BRASK_CROSS_TRIPLE}-g++-posix)
set (CMAKE_RC_COMPILER ${BRASK_CROSS_TRIPLE}-windres)
set (CMAKE_STRIP /usr/bin/${BRASK_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# The MinGW root, and the folder where scripts/build-win64 installs the image
# libraries it cross-builds. try_compile reads this file again without the
# cache, so the folder comes through the environment.
if (DEFINED ENV{BRASK_WIN64_PREFIX})
    set (BRASK_WIN64_PREFIX "$ENV{BRASK_WIN64_PREFIX}")
endif()
set (CMAKE_FIND_ROOT_PATH /usr/${BRASK_CROSS_TRIPLE} ${BRASK_WIN64_PREFIX})
set (CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set (CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set (CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No pkg-config answers for Windows: the build names its libraries itself.
set (ENV{PKG_CONFIG_LIBDIR} "${BRASK_WIN64_PREFIX}/lib/pkgconfig")
set (ENV{PKG_CONFIG_PATH} "")

# Programs the build made run under Wine, each in a prefix of the build's own
# and under a hard time limit (scripts/win64-wine).
set (CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/../../scripts/win64-wine")

# The framework's CMake package is a build tool (its juceaide runs here, the
# modules' sources compile for any target); the find root hides it otherwise.
execute_process (COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                 OUTPUT_VARIABLE BRASK_BUILD_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
file (GLOB BRASK_JUCE_PACKAGE_DIRS "/usr/lib/${BRASK_BUILD_MULTIARCH}/cmake/JUCE-*")
if (BRASK_JUCE_PACKAGE_DIRS AND NOT JUCE_DIR)
    list (GET BRASK_JUCE_PACKAGE_DIRS 0 BRASK_JUCE_PACKAGE_DIR)
    set (JUCE_DIR "${BRASK_JUCE_PACKAGE_DIR}" CACHE PATH "The framework's CMake package")
endif()
