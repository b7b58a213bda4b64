# The 64-bit Windows build, cross-compiled with MinGW-w64 (scripts/build-win64,
# cmake/toolchains/x86_64-w64-mingw32.cmake): what differs from Linux, in one place.
# Included right after the hardening flags, before any target is made.

# VST3 and Standalone: no LV2 on Windows.
set (BRASK_FORMATS VST3 Standalone CACHE STRING "Plug-in formats to build")

#==============================================================================
# Header-only pieces Debian installs for Linux only but writes for any platform:
# Highway (the chain's kernel) and the LV2 headers (the option and port rules the
# unit tests check). /usr/include itself must stay off the path (glibc's headers
# are there), so a folder of links holds just these two.
set (BRASK_PORTABLE_HEADERS "${CMAKE_BINARY_DIR}/portable-headers")
foreach (folder hwy lv2)
    if (NOT EXISTS "${BRASK_PORTABLE_HEADERS}/${folder}")
        file (MAKE_DIRECTORY "${BRASK_PORTABLE_HEADERS}")
        file (CREATE_LINK "/usr/include/${folder}" "${BRASK_PORTABLE_HEADERS}/${folder}" SYMBOLIC)
    endif()
endforeach()
include_directories (SYSTEM "${BRASK_PORTABLE_HEADERS}")

#==============================================================================
# Debian's framework reads PNG and JPEG through the system's libraries on every
# platform; scripts/build-win64 cross-builds them statically into
# BRASK_WIN64_PREFIX. No FLAC or Ogg Vorbis: nothing the Windows build makes
# reads or writes those files. Named as the Linux codec target is, so that every
# target linking the codecs links these instead.
if (NOT BRASK_WIN64_PREFIX)
    message (FATAL_ERROR "BRASK_WIN64_PREFIX (the cross-built image libraries) is not set: build with scripts/build-win64")
endif()
add_library (PkgConfig::BRASK_AUDIO_CODECS INTERFACE IMPORTED)
target_include_directories (PkgConfig::BRASK_AUDIO_CODECS SYSTEM INTERFACE "${BRASK_WIN64_PREFIX}/include")
target_link_libraries (PkgConfig::BRASK_AUDIO_CODECS INTERFACE
    "${BRASK_WIN64_PREFIX}/lib/libpng16.a"
    "${BRASK_WIN64_PREFIX}/lib/libjpeg.a"
    "/usr/${BRASK_CROSS_TRIPLE}/lib/libz.a")
target_compile_definitions (PkgConfig::BRASK_AUDIO_CODECS INTERFACE JUCE_USE_FLAC=0 JUCE_USE_OGGVORBIS=0)

#==============================================================================
# The C and C++ runtimes linked in: beside the module and the program there is
# nothing but Windows' own DLLs. Hardening in PE terms: loaded at a random
# address anywhere in the 64-bit space (ASLR with high entropy), data never
# executable (DEP); the stack protector's runtime (libssp) comes in through the
# link line's -fstack-protector-strong.
add_link_options (-static-libgcc -static-libstdc++ -static -fstack-protector-strong
                  LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat)

# GCC keeps Windows' 16-byte stack alignment even where AVX2 and AVX-512 code
# spills 32- and 64-byte registers to the stack, and an aligned move there can
# fault (GCC bug 54412). The assembler turns every aligned vector move into an
# unaligned one, which is as fast on aligned data; scripts/test-win64 checks the
# disassembly for any aligned or non-temporal access relative to the stack that
# this does not cover.
add_compile_options (-Wa,-muse-unaligned-vector-move)

#==============================================================================
# The version record (company, description, product name and version) comes from
# the framework's resource script, from the plug-in's own settings; the program's
# icon is the pedal, drawn as the Linux menu icon is (artwork/icon.py).
set (BRASK_ICON_BIG "${CMAKE_BINARY_DIR}/icon/brask-overdrive-256.png")
set (BRASK_ICON_SOURCES "${CMAKE_SOURCE_DIR}/resources/BraskOverdriveOnRed.png"
                        "${CMAKE_SOURCE_DIR}/resources/BraskOverdrive_150.png"
                        "${CMAKE_SOURCE_DIR}/artwork/icon.py" "${CMAKE_SOURCE_DIR}/artwork/panel_layout.py"
                        "${CMAKE_SOURCE_DIR}/source/gui/PanelLayout.json")
set_property (DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BRASK_ICON_SOURCES})
file (MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/icon")
execute_process (COMMAND "${CMAKE_SOURCE_DIR}/artwork/icon.py" "${CMAKE_SOURCE_DIR}/resources/BraskOverdriveOnRed.png"
                         "${CMAKE_SOURCE_DIR}/resources/BraskOverdrive_150.png" 256 "${BRASK_ICON_BIG}"
                 COMMAND_ERROR_IS_FATAL ANY)

# With an icon, the framework gives the VST3 bundle Windows' folder icon
# (desktop.ini and Plugin.ico) and marks those as system files with Windows'
# `attrib`, which a Linux file system has no attribute for: the step is skipped.
# Explorer then shows a plain folder; hosts read the bundle the same either way.
add_executable (attrib IMPORTED)
set_target_properties (attrib PROPERTIES IMPORTED_LOCATION /bin/true)
