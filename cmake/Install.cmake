# `cmake --install build [--prefix P]` (and the Debian package, which installs the
# same rules into /usr) lays the pedal out the way Linux hosts and desktops look
# for it:
#
#   P/lib/vst3/Brask Overdrive.vst3                   the VST3 bundle
#   P/lib/lv2/Brask Overdrive.lv2                     the LV2 bundle
#   P/bin/brask-overdrive                             the Standalone application
#   P/bin/brask-render                                the command-line renderer
#   P/<libdir>/brask-overdrive/brask-render/brask-render-plot.so   its plots, loaded only when asked for
#   P/share/applications/brask-overdrive.desktop      its menu entry
#   P/share/icons/hicolor/<N>x<N>/apps/brask-overdrive.png
#   P/share/man/man1/brask-overdrive.1.gz, brask-render.1.gz
#   P/share/doc/brask-overdrive/                      README, licence, Debian copyright and change log
#   P/share/doc/brask-overdrive/docs/                 the pages and pictures the README links to
#
# Plug-in folders are not multiarch: hosts look in lib/vst3 and lib/lv2 under the
# prefix, whatever GNUInstallDirs would pick for libraries.
include (GNUInstallDirs)

set (BRASK_INSTALL_NAME brask-overdrive)
set (BRASK_INSTALL_VST3_DIR "lib/vst3" CACHE STRING "Where the VST3 bundle goes, relative to the prefix")
set (BRASK_INSTALL_LV2_DIR "lib/lv2" CACHE STRING "Where the LV2 bundle goes, relative to the prefix")
set (BRASK_INSTALL_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/${BRASK_INSTALL_NAME}")

set (BRASK_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
set (BRASK_GENERATED_INSTALL_DIR "${CMAKE_BINARY_DIR}/install-files")

# ELF files `cmake --install --strip` and the package strip in a step of their own:
# those installed without install(TARGETS) (bundles, the renamed Standalone) and
# those CMake strips less than Debian does.
set (BRASK_INSTALLED_ELF_FILES)

#==============================================================================
# The plug-in bundles, whole: hosts look inside them for the shared object,
# which they load without needing it executable.
set (BRASK_BUNDLE_FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

install (DIRECTORY "${BRASK_BUILT_VST3}"
         DESTINATION "${BRASK_INSTALL_VST3_DIR}"
         FILE_PERMISSIONS ${BRASK_BUNDLE_FILE_PERMISSIONS})
list (APPEND BRASK_INSTALLED_ELF_FILES
      "${BRASK_INSTALL_VST3_DIR}/${BRASK_VST3_BUNDLE_NAME}/Contents/${JUCE_TARGET_ARCHITECTURE}-linux/$<TARGET_FILE_NAME:BraskOverdrive_VST3>")

if (TARGET BraskOverdrive_LV2)
    install (DIRECTORY "${BRASK_BUILT_LV2}"
             DESTINATION "${BRASK_INSTALL_LV2_DIR}"
             FILE_PERMISSIONS ${BRASK_BUNDLE_FILE_PERMISSIONS})
    list (APPEND BRASK_INSTALLED_ELF_FILES "${BRASK_INSTALL_LV2_DIR}/${BRASK_LV2_BUNDLE_NAME}/$<TARGET_FILE_NAME:BraskOverdrive_LV2>")
endif()

#==============================================================================
# The Standalone, under a name a shell and a menu entry take without quoting.
if (TARGET BraskOverdrive_Standalone)
    install (PROGRAMS "${BRASK_ARTEFACTS_DIR}/Standalone/${BRASK_PRODUCT_NAME}"
             DESTINATION "${CMAKE_INSTALL_BINDIR}"
             RENAME "${BRASK_INSTALL_NAME}")
    list (APPEND BRASK_INSTALLED_ELF_FILES "${CMAKE_INSTALL_BINDIR}/${BRASK_INSTALL_NAME}")

    install (FILES "${BRASK_PACKAGING_DIR}/${BRASK_INSTALL_NAME}.desktop"
             DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")

    # The menu icon is the pedal itself: the body with its three knobs at half
    # travel where the panel places them (artwork/icon.py reads the panel's layout
    # table), squared up on a transparent ground, at the sizes desktops ask for.
    set (BRASK_ICON_KNOB "${PROJECT_SOURCE_DIR}/resources/BraskOverdrive_150.png")
    set (BRASK_ICON_BODY "${PROJECT_SOURCE_DIR}/resources/BraskOverdriveOnRed.png")
    set (BRASK_ICON_DRAWER "${PROJECT_SOURCE_DIR}/artwork/icon.py")
    set (BRASK_ICON_FILES)

    foreach (size 32 48 64 128 256)
        set (icon "${BRASK_GENERATED_INSTALL_DIR}/icons/${size}x${size}/${BRASK_INSTALL_NAME}.png")
        add_custom_command (OUTPUT "${icon}"
            COMMAND ${CMAKE_COMMAND} -E make_directory "${BRASK_GENERATED_INSTALL_DIR}/icons/${size}x${size}"
            COMMAND "${BRASK_ICON_DRAWER}" "${BRASK_ICON_BODY}" "${BRASK_ICON_KNOB}" ${size} "${icon}"
            DEPENDS "${BRASK_ICON_DRAWER}" "${PROJECT_SOURCE_DIR}/artwork/panel_layout.py" "${BRASK_PANEL_LAYOUT}"
                    "${BRASK_ICON_BODY}" "${BRASK_ICON_KNOB}"
            COMMENT "Drawing the ${size}x${size} menu icon"
            VERBATIM)
        list (APPEND BRASK_ICON_FILES "${icon}")
        install (FILES "${icon}" DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
    endforeach()

    add_custom_target (brask-icons ALL DEPENDS ${BRASK_ICON_FILES})
endif()

if (TARGET brask-render)
    install (TARGETS brask-render RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
    # CMake's own strip leaves the compiler's notes in.
    list (APPEND BRASK_INSTALLED_ELF_FILES "${CMAKE_INSTALL_BINDIR}/brask-render")

    # The plot library is the tool's alone: a private folder, found relative to
    # the program, so that any prefix (and the package's /usr) works. A folder of
    # the tool's own under the package's: a library one level below lib/ makes
    # the Debian package call ldconfig, which a private library does not need.
    set (BRASK_INSTALL_PRIVATE_DIR "${CMAKE_INSTALL_LIBDIR}/${BRASK_INSTALL_NAME}/brask-render")
    install (TARGETS brask-render-plot LIBRARY DESTINATION "${BRASK_INSTALL_PRIVATE_DIR}"
             PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    list (APPEND BRASK_INSTALLED_ELF_FILES "${BRASK_INSTALL_PRIVATE_DIR}/$<TARGET_FILE_NAME:brask-render-plot>")

    file (RELATIVE_PATH BRASK_RENDER_PLOT_DIR_FROM_BIN "/${CMAKE_INSTALL_BINDIR}" "/${BRASK_INSTALL_PRIVATE_DIR}")
    set_property (SOURCE "${PROJECT_SOURCE_DIR}/tools/render/plot/RenderPlotterLoader.cpp"
                  DIRECTORY "${PROJECT_SOURCE_DIR}/tools"
                  APPEND PROPERTY COMPILE_DEFINITIONS "BRASK_RENDER_PLOT_DIR_FROM_BIN=\"${BRASK_RENDER_PLOT_DIR_FROM_BIN}\"")
endif()

#==============================================================================
# Manual pages and the change log, compressed as Debian keeps them (no name or
# time in the gzip header, so that two builds give the same bytes).
set (BRASK_COMPRESSED_FILES)

function (brask_install_compressed source name destination)
    set (compressed "${BRASK_GENERATED_INSTALL_DIR}/gz/${name}.gz")
    add_custom_command (OUTPUT "${compressed}"
        COMMAND ${CMAKE_COMMAND} -E make_directory "${BRASK_GENERATED_INSTALL_DIR}/gz"
        COMMAND gzip -9nc "${source}" > "${compressed}"
        DEPENDS "${source}"
        COMMENT "Compressing ${name}")
    install (FILES "${compressed}" DESTINATION "${destination}")
    set (BRASK_COMPRESSED_FILES ${BRASK_COMPRESSED_FILES} "${compressed}" PARENT_SCOPE)
endfunction()

if (TARGET BraskOverdrive_Standalone)
    brask_install_compressed ("${BRASK_PACKAGING_DIR}/brask-overdrive.1" brask-overdrive.1 "${CMAKE_INSTALL_MANDIR}/man1")
endif()

if (TARGET brask-render)
    brask_install_compressed ("${BRASK_PACKAGING_DIR}/brask-render.1" brask-render.1 "${CMAKE_INSTALL_MANDIR}/man1")
endif()

brask_install_compressed ("${BRASK_PACKAGING_DIR}/changelog" changelog "${BRASK_INSTALL_DOC_DIR}")
add_custom_target (brask-compressed-docs ALL DEPENDS ${BRASK_COMPRESSED_FILES})

#==============================================================================
install (FILES "${PROJECT_SOURCE_DIR}/README.md" "${PROJECT_SOURCE_DIR}/LICENSE" "${BRASK_PACKAGING_DIR}/copyright"
         DESTINATION "${BRASK_INSTALL_DOC_DIR}")
# Beside the README, as in the source tree, so that its links lead somewhere.
install (DIRECTORY "${PROJECT_SOURCE_DIR}/docs" DESTINATION "${BRASK_INSTALL_DOC_DIR}")

#==============================================================================
# Stripping: install(TARGETS) files are stripped by CMake itself; these by name.
install (CODE "set (BRASK_INSTALLED_ELF_FILES \"${BRASK_INSTALLED_ELF_FILES}\")
set (BRASK_STRIP \"${CMAKE_STRIP}\")")
install (SCRIPT "${PROJECT_SOURCE_DIR}/cmake/StripInstalled.cmake")
