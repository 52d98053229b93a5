# Debian package of the client: "cpack -G DEB" in the build folder (or scripts/package).
# It carries the client's install rules (component "client": program, library, helpers,
# translations, desktop file, icon, manual page); the demo tools stay out.

set(ZEL_PACKAGE_NAME zel-client)
set(ZEL_PACKAGE_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/${ZEL_PACKAGE_NAME}")

# Debian wants a copyright file and a compressed change log with every package.
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${CMAKE_BINARY_DIR}/packaging/changelog" @ONLY)
add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    COMMAND gzip -9 -n -f -k changelog
    DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog"
    WORKING_DIRECTORY "${CMAKE_BINARY_DIR}/packaging" VERBATIM)
add_custom_target(package-changelog ALL DEPENDS "${CMAKE_BINARY_DIR}/packaging/changelog.gz")
install(FILES "${CMAKE_CURRENT_LIST_DIR}/copyright" "${CMAKE_BINARY_DIR}/packaging/changelog.gz"
    DESTINATION "${ZEL_PACKAGE_DOC_DIR}" COMPONENT client)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZEL_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR Pelsor)
set(CPACK_PACKAGE_CONTACT "Pelsor ZEL Client team <zel-client@pelsor.com>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop client of the ZEL virtual-desktop service")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL client)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME ${ZEL_PACKAGE_NAME})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Debian's description: the summary above, then this text.
set(CPACK_COMPONENT_CLIENT_DESCRIPTION "ZEL Client logs in to the broker of a ZEL virtual-desktop service over TLS,
lists the user's virtual machines and shows the chosen one's remote desktop
in a local X server through nxproxy. It can share local folders (SFTP),
USB devices (USB/IP) and sound (PulseAudio) with the virtual machine.")
# The Qt libraries come from the program's and the library's own links.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_BINARY_DIR}/libzelclient")
# The programs the client starts: the NX proxy, the X server that shows the remote desktop
# (Xvfb when no desktop display is reachable), the SFTP server and its confinement.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "nxproxy, xserver-xephyr, openssh-sftp-server, bubblewrap")
# Sound is optional (a session without it says "No sound"), and pulseaudio conflicts with
# pipewire-audio, the sound stack of a default desktop: recommended, so that the package installs
# beside it. USB sharing needs pkexec for a user who is not root, which not every machine wants.
# The remembered password goes to the desktop keyring through libsecret, which QtKeychain loads
# at run time.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "pulseaudio, pkexec, usb.ids, xvfb, x11-utils, qttranslations5-l10n, libsecret-1-0")

include(CPack)
