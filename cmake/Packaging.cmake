# `cpack -G DEB`: one Debian package with everything `cmake --install` puts in place, under /usr.
# Its runtime dependencies come from dpkg-shlibdeps, which reads the libraries the programs and
# libdorvic link against.
set(CPACK_PACKAGE_NAME plumet)
set(CPACK_PACKAGE_VENDOR "plumet developers")
set(CPACK_PACKAGE_CONTACT "plumet developers <plumet@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Edit files of an online file service in local applications")
set(CPACK_PACKAGE_DESCRIPTION
    "plumet opens a file of the online file service in the desktop application of its type and "
    "sends the saved result back. The package also holds libdorvic (client library of the "
    "service's REST interface, with header and pkg-config file), dorvicctl and zelmicd, a "
    "self-hosted service on loopback with a systemd user unit.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libdorvic is in this package itself: dpkg-shlibdeps finds it there instead of asking for it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
# The scheme handler is opened through the desktop's default-application tools.
if(TARGET plumet)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
endif()
include(CPack)
