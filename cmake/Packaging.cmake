# The Debian package: `cpack -G DEB` in the build tree (or the `package` target)
# writes package/brask-overdrive_<version>_<arch>.deb (amd64, or arm64 from the
# cross-built tree) from the install rules, with the
# prefix /usr, the binaries stripped and the runtime Depends computed from the
# shared libraries they link (dpkg-shlibdeps).
set (CPACK_GENERATOR DEB)
set (CPACK_PACKAGE_NAME "${BRASK_INSTALL_NAME}")
set (CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set (CPACK_PACKAGE_VENDOR "${BRASK_VENDOR}")
set (CPACK_PACKAGE_CONTACT "${BRASK_VENDOR} <${BRASK_VENDOR_EMAIL}>")
set (CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}/package")
set (CPACK_PACKAGING_INSTALL_PREFIX /usr)
set (CPACK_STRIP_FILES ON)

set (CPACK_PACKAGE_DESCRIPTION_SUMMARY "overdrive pedal effect as VST3 and LV2 plug-in and application")
# CPack puts the summary first and indents the rest as Debian wants it; an empty
# line starts a new paragraph.
set (CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Brask Overdrive is a guitar overdrive pedal for digital audio workstations,
with three knobs (drive, tone, level), a footswitch and a lamp, drawn as a
rendered pedal standing on the floor.

This package installs the VST3 plug-in into /usr/lib/vst3 and the LV2
plug-in into /usr/lib/lv2, where Linux hosts find them, the pedal as a
standalone application with its menu entry, and brask-render, which runs
audio files through the pedal from the command line.")

set (CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set (CPACK_DEBIAN_PACKAGE_NAME "${BRASK_INSTALL_NAME}")
set (CPACK_DEBIAN_PACKAGE_VERSION "${PROJECT_VERSION}")
# Debian's name for the processor the binaries are built for, not the build machine's.
if (CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
    set (CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
else()
    set (CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
endif()
set (CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRASK_VENDOR} <${BRASK_VENDOR_EMAIL}>")
set (CPACK_DEBIAN_PACKAGE_SECTION sound)
set (CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set (CPACK_DEBIAN_PACKAGE_HOMEPAGE "${BRASK_VENDOR_URL}")
set (CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set (CPACK_DEBIAN_COMPRESSION_TYPE xz)
# xz on every core: the modules are large.
set (CPACK_THREADS 0)

include (CPack)
