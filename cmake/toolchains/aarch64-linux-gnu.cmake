# Cross-building for 64-bit ARM Linux (Raspberry Pi 4/5 class) on an x86-64 Debian:
# Debian's aarch64 cross compiler, the :arm64 libraries installed through multiarch,
# and qemu-user to run what the build and the tests must run.
#
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake
set (CMAKE_SYSTEM_NAME Linux)
set (CMAKE_SYSTEM_PROCESSOR aarch64)

set (BRASK_CROSS_TRIPLE aarch64-linux-gnu)
set (CMAKE_C_COMPILER ${BRASK_CROSS_TRIPLE}-gcc)
set (CMAKE_CXX_COMPILER ${BRASK_CROSS_TRIPLE}-g++)
set (CMAKE_STRIP /usr/bin/${BRASK_CROSS_TRIPLE}-strip CACHE FILEPATH "")

# Multiarch keeps the arm64 libraries beside the amd64 ones in one root: search
# /usr for libraries and headers (CMake looks in lib/aarch64-linux-gnu by the
# architecture), the build machine for programs.
set (CMAKE_LIBRARY_ARCHITECTURE ${BRASK_CROSS_TRIPLE})
set (CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config answers for the arm64 libraries only.
set (ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${BRASK_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set (ENV{PKG_CONFIG_PATH} "")

# Programs the build made are run under emulation (ctest's and custom commands'
# target programs). They take the arm64 loader and C library of multiarch
# (libc6:arm64), like every other arm64 library they load: with the cross
# toolchain's copy instead (qemu's -L), a forked child spins for ever, which the
# framework's display probe does when it asks gsettings for the desktop's scale.
find_program (BRASK_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set (CMAKE_CROSSCOMPILING_EMULATOR "${BRASK_QEMU_AARCH64}")

# The framework's CMake package is a build tool (its juceaide and the modules'
# sources run or compile anywhere); Debian keeps it under the build machine's
# multiarch folder.
execute_process (COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH
                 OUTPUT_VARIABLE BRASK_BUILD_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
file (GLOB BRASK_JUCE_PACKAGE_DIRS "/usr/lib/${BRASK_BUILD_MULTIARCH}/cmake/JUCE-*")
if (BRASK_JUCE_PACKAGE_DIRS AND NOT JUCE_DIR)
    list (GET BRASK_JUCE_PACKAGE_DIRS 0 BRASK_JUCE_PACKAGE_DIR)
    set (JUCE_DIR "${BRASK_JUCE_PACKAGE_DIR}" CACHE PATH "The framework's CMake package")
endif()
