# The Windows build's targets beyond the framework's own: the VST3 module's version
# record, and the installer and zip (cmake/Windows.cmake has the build's settings).

# The framework gives its applications the version record and leaves its plug-in
# modules without one: the module gets the same resource script, written by the
# framework's own tool from the plug-in's settings.
get_target_property (BRASK_GENERATED_DIR BraskOverdrive JUCE_GENERATED_SOURCES_DIRECTORY)
set (BRASK_MODULE_RC "${BRASK_GENERATED_DIR}/module-resources.rc")
add_custom_command (OUTPUT "${BRASK_MODULE_RC}"
    COMMAND juce::juceaide rcfile "$<TARGET_PROPERTY:BraskOverdrive,JUCE_INFO_FILE>" "${BRASK_MODULE_RC}"
    DEPENDS "$<TARGET_PROPERTY:BraskOverdrive,JUCE_INFO_FILE>"
    VERBATIM)
target_sources (BraskOverdrive_VST3 PRIVATE "${BRASK_MODULE_RC}")

#==============================================================================
# What ships carries no symbol table: a quarter of each file, and it tells a user
# nothing. The copies with it stay in unstripped/, for reading a crash's
# addresses, and for scripts/test-win64, which proves from their symbols that
# the shipped code is the protected code (tests/win64/pe_checks.py).
set (BRASK_UNSTRIPPED_DIR "${CMAKE_BINARY_DIR}/unstripped")
foreach (shipped BraskOverdrive_VST3 BraskOverdrive_Standalone)
    add_custom_command (TARGET ${shipped} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E make_directory "${BRASK_UNSTRIPPED_DIR}"
        COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:${shipped}>" "${BRASK_UNSTRIPPED_DIR}/"
        COMMAND "${CMAKE_STRIP}" --strip-all "$<TARGET_FILE:${shipped}>"
        VERBATIM)
endforeach()

#==============================================================================
# `brask-installer`: the 64-bit MSI (wixl runs under the 64-bit Wine the tests
# use, which NSIS's 32-bit installers would not), and the zip of the same files
# for users who copy them by hand:
#
#   Brask Overdrive.vst3/          into %CommonProgramFiles%\VST3\
#   Brask Overdrive.exe            anywhere (the installer: %ProgramFiles%\Quillon Audio\Brask Overdrive\)
find_program (BRASK_WIXL wixl REQUIRED)
set (BRASK_PACKAGE_NAME "Brask Overdrive ${PROJECT_VERSION} Windows x64")
set (BRASK_MSI "${CMAKE_BINARY_DIR}/package/${BRASK_PACKAGE_NAME}.msi")
set (BRASK_ZIP "${CMAKE_BINARY_DIR}/package/${BRASK_PACKAGE_NAME}.zip")
set (BRASK_ZIP_ROOT "${CMAKE_BINARY_DIR}/package/zip")

# wixl takes the files' paths relative to the folder it runs in, the build's.
set (BRASK_WIXL_ARTEFACTS "BraskOverdrive_artefacts/$<CONFIG>")
set (BRASK_WIXL_VST3 "${BRASK_WIXL_ARTEFACTS}/VST3/${BRASK_VST3_BUNDLE_NAME}")
set (BRASK_WIXL_VST3_BINARY "${BRASK_WIXL_VST3}/Contents/x86_64-win/$<TARGET_FILE_NAME:BraskOverdrive_VST3>")
set (BRASK_WIXL_STANDALONE_BINARY "${BRASK_WIXL_ARTEFACTS}/Standalone/$<TARGET_FILE_NAME:BraskOverdrive_Standalone>")
set (BRASK_STANDALONE_BINARY "$<TARGET_FILE:BraskOverdrive_Standalone>")
configure_file ("${CMAKE_SOURCE_DIR}/packaging/windows/brask-overdrive.wxs.in"
                "${CMAKE_BINARY_DIR}/package/brask-overdrive.wxs.in" @ONLY)
file (GENERATE OUTPUT "${CMAKE_BINARY_DIR}/package/brask-overdrive.wxs"
      INPUT "${CMAKE_BINARY_DIR}/package/brask-overdrive.wxs.in")

add_custom_command (OUTPUT "${BRASK_MSI}"
    COMMAND "${BRASK_WIXL}" --arch x64 -o "${BRASK_MSI}" "${CMAKE_BINARY_DIR}/package/brask-overdrive.wxs"
    DEPENDS BraskOverdrive_VST3 BraskOverdrive_Standalone "${CMAKE_BINARY_DIR}/package/brask-overdrive.wxs"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}"
    COMMENT "Building the installer ${BRASK_PACKAGE_NAME}.msi"
    VERBATIM)

add_custom_command (OUTPUT "${BRASK_ZIP}"
    COMMAND ${CMAKE_COMMAND} -E rm -rf "${BRASK_ZIP_ROOT}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${BRASK_ZIP_ROOT}/${BRASK_PACKAGE_NAME}"
    COMMAND ${CMAKE_COMMAND} -E copy_directory "${BRASK_BUILT_VST3}" "${BRASK_ZIP_ROOT}/${BRASK_PACKAGE_NAME}/${BRASK_VST3_BUNDLE_NAME}"
    COMMAND ${CMAKE_COMMAND} -E copy "${BRASK_STANDALONE_BINARY}" "${BRASK_ZIP_ROOT}/${BRASK_PACKAGE_NAME}/"
    COMMAND ${CMAKE_COMMAND} -E rm -f "${BRASK_ZIP}"
    COMMAND ${CMAKE_COMMAND} -E chdir "${BRASK_ZIP_ROOT}" ${CMAKE_COMMAND} -E tar cf "${BRASK_ZIP}" --format=zip "${BRASK_PACKAGE_NAME}"
    DEPENDS BraskOverdrive_VST3 BraskOverdrive_Standalone
    COMMENT "Zipping ${BRASK_PACKAGE_NAME}.zip"
    VERBATIM)

add_custom_target (brask-installer DEPENDS "${BRASK_MSI}" "${BRASK_ZIP}")

# The module's allow-list of exports, for scripts/test-win64 to check the built module against.
file (WRITE "${CMAKE_BINARY_DIR}/vst3-exports.txt" "${BRASK_VST3_EXPORTS}\n")
