# Installation and the Debian package of the Linux build (included for builds that are not for
# Windows; the Windows zip and installer are in cmake/Windows.cmake).
#
#   cmake --install build [--prefix DIR]   vexlor, vexlor-gui, the desktop entry and its icon,
#                                          the README and the licence
#   cpack --config build/CPackConfig.cmake dist/vexlor_VERSION_amd64.deb (`make dist`)
include(GNUInstallDirs)

install(TARGETS vexlor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET vexlor-gui)
  install(TARGETS vexlor-gui RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/linux/vexlor.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  foreach(size 16 32)
    install(FILES ${PROJECT_SOURCE_DIR}/src/ui/resources/icon128_${size}.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME vexlor.png)
  endforeach()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
        RENAME copyright)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vexlor)
set(CPACK_PACKAGE_VENDOR Vexlor)
set(CPACK_PACKAGE_CONTACT "Vexlor developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "convert a video recorder's multi-channel recording into AVI files")
set(CPACK_PACKAGE_DESCRIPTION
    "Vexlor turns one multi-channel recording of a digital video recorder (.kvr, .ms2, .m4v) "
    "into one standard AVI file per camera, with the frame rate measured from the frames' "
    "time stamps. The video is copied as it is; a built-in H.264 decoder finds the channels "
    "and their picture sizes. It comes as the command-line tool vexlor and the desktop "
    "program vexlor-gui.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_OUTPUT_FILE_PREFIX ${PROJECT_SOURCE_DIR}/dist)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # vexlor_VERSION_amd64.deb
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs link (libc, libstdc++, libcrypto, the time zone library, Qt 6) as
# dpkg-shlibdeps finds them, and the time zone database that --recorder-zone reads.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS tzdata)
include(CPack)
