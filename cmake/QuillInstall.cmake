# Installing the application the way a desktop application is installed: the executable in bin/, its
# resources in share/quillaran/, the helper tools it runs in libexec/quillaran/, a desktop entry in
# share/applications/ and its icon in share/icons/hicolor/. `make install` runs `cmake --install` with
# the user's ~/.local as the prefix; DESTDIR is honoured.
#
# Besides CMake's own install manifest (in the build folder, overwritten by each install), the install
# leaves a record in the installed resources folder: every file it wrote and every folder it created, so
# that cmake/QuillUninstall.cmake removes exactly those, whichever build folder installed them. An install
# over an earlier one keeps what the earlier one recorded.

include(GNUInstallDirs)

# The application's id: the desktop entry's file name and the icon's name, which the running
# application gives as its desktop file name.
set(QUILL_APP_ID net.quillaran.Quillaran)
set(QUILL_INSTALL_RESOURCES ${CMAKE_INSTALL_DATADIR}/quillaran)
set(QUILL_INSTALL_TOOLS ${CMAKE_INSTALL_LIBEXECDIR}/quillaran)
set(QUILL_ICON_SIZES 16 32 48 64 128 256)

# The executable finds its resources and tools relative to its own folder.
file(RELATIVE_PATH QUILL_RELATIVE_RESOURCES ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_DATADIR}/quillaran)
file(RELATIVE_PATH QUILL_RELATIVE_TOOLS ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBEXECDIR}/quillaran)
target_compile_definitions(quill_platform PRIVATE QUILL_INSTALLED_RESOURCES="${QUILL_RELATIVE_RESOURCES}"
                                                  QUILL_INSTALLED_TOOLS="${QUILL_RELATIVE_TOOLS}")
target_compile_definitions(quill_app PRIVATE QUILL_APP_ID="${QUILL_APP_ID}")

# Every folder the rules below install into; the install records those of them (and their parents)
# that it creates.
set(QUILL_INSTALL_FOLDERS ${CMAKE_INSTALL_BINDIR} ${QUILL_INSTALL_RESOURCES} ${QUILL_INSTALL_TOOLS}
    ${CMAKE_INSTALL_DATADIR}/applications ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size ${QUILL_ICON_SIZES})
    list(APPEND QUILL_INSTALL_FOLDERS ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

configure_file(${PROJECT_SOURCE_DIR}/cmake/QuillInstallSteps.cmake.in
               ${PROJECT_BINARY_DIR}/QuillInstallSteps.cmake @ONLY)
install(CODE "include(\"${PROJECT_BINARY_DIR}/QuillInstallSteps.cmake\")\nquill_install_begin()")

install(TARGETS quillaran RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS kextstat kextutil RUNTIME DESTINATION ${QUILL_INSTALL_TOOLS})
set(icons)
foreach(size ${QUILL_ICON_SIZES})
    list(APPEND icons ${PROJECT_SOURCE_DIR}/resources/icon-${size}.png)
    install(FILES ${PROJECT_SOURCE_DIR}/resources/icon-${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME ${QUILL_APP_ID}.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/resources/icon.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME ${QUILL_APP_ID}.svg)
install(FILES ${PROJECT_SOURCE_DIR}/resources/tray.png ${icons} ${PROJECT_BINARY_DIR}/resources/Soundflower.zip
        DESTINATION ${QUILL_INSTALL_RESOURCES})
# The entry's Exec names the installed executable, known only at install time (cmake --install --prefix).
install(CODE "quill_install_desktop_entry()")
install(CODE "quill_install_end()")

# The same removal as `make uninstall`, for this build's prefix.
add_custom_target(uninstall
    COMMAND ${CMAKE_COMMAND} -DQUILL_RECORD=${CMAKE_INSTALL_FULL_DATADIR}/quillaran/install-record.txt
            -P ${PROJECT_SOURCE_DIR}/cmake/QuillUninstall.cmake
    COMMENT "Removing what the install wrote" VERBATIM)
