# Hardened as Debian builds its own binaries (what lintian's hardening checks look
# for), for every module, program and library of the project: buffer-overflow
# checks on the C library's string and memory calls, stack canaries, a relocation
# table made read-only before the code runs, and executables loaded at random
# addresses. Included before any target is made, so that every target has it.

# Executables link as position-independent executables, not only compile as such
# (with POSITION_INDEPENDENT_CODE, under the policy of CMake 3.14 and later).
include (CheckPIESupported)
check_pie_supported (LANGUAGES C CXX)

add_compile_options (-fstack-protector-strong)

# The checked calls need the optimiser to see the buffers' sizes; a sanitizer
# already checks every access, and its interceptors want the plain calls.
if (NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize=(address|thread|memory)")
    add_compile_options ($<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-U_FORTIFY_SOURCE>
                         $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-D_FORTIFY_SOURCE=2>)
endif()

# ELF only; the PE counterparts are in cmake/Windows.cmake.
if (NOT WIN32)
    add_link_options (LINKER:-z,relro LINKER:-z,now)
endif()
