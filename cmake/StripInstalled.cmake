# Runs at install time, after the files are in place: strips the plug-in modules
# and the Standalone as install(TARGETS) strips the programs it installs, when
# asked (`cmake --install --strip`, and the Debian package, which always asks).
# Their exported entry points live in the dynamic symbol table, which stays.
if (NOT CMAKE_INSTALL_DO_STRIP OR NOT BRASK_STRIP)
    return()
endif()

foreach (file IN LISTS BRASK_INSTALLED_ELF_FILES)
    set (path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${file}")

    if (EXISTS "${path}")
        message (STATUS "Stripping: ${path}")
        execute_process (COMMAND "${BRASK_STRIP}" --strip-unneeded --remove-section=.comment
                                 --remove-section=.note "${path}"
                         RESULT_VARIABLE failed)
        if (failed)
            message (FATAL_ERROR "Could not strip ${path}")
        endif()
    endif()
endforeach()
