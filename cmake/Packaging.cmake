# A Debian package of what `cmake --install` installs:
#   cmake --build <build> --target package   (or: cd <build> && cpack -G DEB)
# Its dependencies are computed from the binaries by dpkg-shlibdeps.
include(GNUInstallDirs)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halden)
set(CPACK_PACKAGE_VENDOR Halden)
set(CPACK_PACKAGE_CONTACT "Halden <support@halden.io>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion of the Halden meeting-notes service")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://app.halden.io)
set(CPACK_PACKAGE_DESCRIPTION
    "Halden shows the service's client workspace in a window of its own. On the
workspace's request it records the microphone and everything the computer
plays, each into its own track, then uploads the meeting in 60-second chunks
and asks for its summary. Recordings whose upload failed stay on disk and can
be recovered.")
# The sound server it records from.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio | pipewire-pulse")

# The files Debian expects of every package.
install(FILES ${CMAKE_SOURCE_DIR}/data/debian/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/halden COMPONENT desktop-files)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/data/debian/changelog > ${CMAKE_BINARY_DIR}/changelog.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/data/debian/changelog
  VERBATIM)
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/halden.1.gz
  COMMAND gzip -9 -n -c ${CMAKE_SOURCE_DIR}/data/halden.1 > ${CMAKE_BINARY_DIR}/halden.1.gz
  DEPENDS ${CMAKE_SOURCE_DIR}/data/halden.1
  VERBATIM)
add_custom_target(halden-changelog ALL
                  DEPENDS ${CMAKE_BINARY_DIR}/changelog.gz ${CMAKE_BINARY_DIR}/halden.1.gz)
install(FILES ${CMAKE_BINARY_DIR}/halden.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT desktop-files)
install(FILES ${CMAKE_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/halden COMPONENT desktop-files)

include(CPack)
