# Installing Dravik as a desktop program, and its Debian package:
#   cmake --install build --prefix /usr        (or)   cd build && cpack -G DEB
include(GNUInstallDirs)

install(TARGETS dravik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The command-line tools that users run, where this build has them.
foreach(tool dravik-download dravik-archive dravik-verify dravik-show)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET dravik-download)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/dravik-download.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
if(TARGET dravik-show)
  install(FILES ${CMAKE_SOURCE_DIR}/doc/dravik-show.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/packaging/dravik.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${CMAKE_SOURCE_DIR}/resources/icons/dravik-${size}.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
    RENAME dravik.png)
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/dravik)

set(CPACK_PACKAGE_NAME dravik)
set(CPACK_PACKAGE_VENDOR VELMARK)
set(CPACK_PACKAGE_CONTACT "VELMARK <dravik@velmark.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.velmark.example/dravik")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "EU digital tachograph driver card download")
set(CPACK_PACKAGE_DESCRIPTION
  "Dravik downloads the data of an EU digital tachograph driver card through a\n\
PC/SC smart-card reader into a card download file (.ddd), in a window that\n\
speaks Croatian or English.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The build keeps its debugging information; the package does not need it.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The Qt 6 libraries (and any other linked library) come from dpkg-shlibdeps.
# The PC/SC library is loaded at run time, so no linker sees it: it is named
# here, with the service that reaches the readers.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libpcsclite1, pcscd")
include(CPack)
