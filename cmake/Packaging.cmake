# `cpack -G DEB` in the build folder: one Debian package per install component, under /usr, each
# with its copyright and changelog in /usr/share/doc/PACKAGE, and beside each package with programs
# or libraries its -dbgsym package (the debug symbols, split out of the shipped, stripped files):
#   libdorvic0     the shared library, named for its soname; ldconfig trigger, shlibs file
#   libdorvic-dev  header, development link, pkg-config file; depends on this very libdorvic0
#   zelmicd        the service and its systemd user unit
#   dorvicctl      the command line over libdorvic (no Qt, unlike plumet)
#   plumet         the desktop helper, its private resident library, desktop entry and icons
# The other run-time dependencies come from dpkg-shlibdeps. Build with debug information
# (RelWithDebInfo, the default) for the -dbgsym packages to hold any.
set(plumet_deb_release 1)
set(plumet_deb_version ${PROJECT_VERSION}-${plumet_deb_release})
set(plumet_maintainer "Plumet Maintainers <plumet-maintainers@lists.plumet.org>")

# Component: package name, section, synopsis and extended description (lines below 80 columns).
set(plumet_package_libdorvic libdorvic${PROJECT_VERSION_MAJOR})
set(plumet_section_libdorvic libs)
set(plumet_description_libdorvic "client library of the Zelmic file service's REST interface
libdorvic signs and sends the calls of the service's REST interface: listing,
uploading and downloading files, their versions, locks, sharing and discussion.
.
This package holds the shared library.")

set(plumet_package_libdorvic_dev libdorvic-dev)
set(plumet_section_libdorvic_dev libdevel)
set(plumet_description_libdorvic_dev "client library of the Zelmic file service - development files
libdorvic signs and sends the calls of the service's REST interface: listing,
uploading and downloading files, their versions, locks, sharing and discussion.
.
This package holds the header, the development link and the pkg-config file.")

set(plumet_package_zelmicd zelmicd)
set(plumet_section_zelmicd net)
set(plumet_description_zelmicd "Zelmic file service on loopback
zelmicd keeps the files of its users with their versions and serves the REST
interface, the token endpoint, the upload server and a web page, on loopback
or, with TLS, on a chosen address.
.
A systemd user unit runs it for one account.")

set(plumet_package_dorvicctl dorvicctl)
set(plumet_section_dorvicctl net)
set(plumet_description_dorvicctl "command line client of the Zelmic file service
dorvicctl makes each call of libdorvic from the command line and prints its
result as one JSON object. It also downloads files, checking their size and
SHA-1, and uploads them, sending only the changed blocks where it can.")

set(plumet_package_plumet plumet)
set(plumet_section_plumet net)
set(plumet_description_plumet "edit files of an online file service in local applications
plumet opens a file of the online file service in the desktop application of
its type when a plumet:// link is clicked, and sends the saved result back as a
new version. It stays resident with a tray icon.")

set(plumet_components libdorvic libdorvic_dev zelmicd dorvicctl)
if(TARGET plumet)
  list(APPEND plumet_components plumet)
endif()

# Every package carries the project's copyright and changelog; `cmake --install` without a
# component leaves them out, as they name the packages.
set(plumet_changelog ${PROJECT_SOURCE_DIR}/res/debian/changelog)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${plumet_changelog})
file(STRINGS ${plumet_changelog} plumet_changelog_top LIMIT_COUNT 1)
string(FIND "${plumet_changelog_top}" "plumet (${plumet_deb_version}) " plumet_entry_at)
if(NOT plumet_entry_at EQUAL 0)
  message(FATAL_ERROR "res/debian/changelog needs an entry for ${plumet_deb_version} on top")
endif()
file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9n -c ${plumet_changelog}
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
                RESULT_VARIABLE plumet_gzip_status)
if(NOT plumet_gzip_status EQUAL 0)
  message(FATAL_ERROR "gzip of res/debian/changelog failed")
endif()

foreach(component IN LISTS plumet_components)
  string(TOUPPER ${component} upper)
  set(package ${plumet_package_${component}})
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${plumet_section_${component}})
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${plumet_description_${component}}")
  install(FILES ${PROJECT_SOURCE_DIR}/res/debian/copyright
                ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME plumet)
set(CPACK_PACKAGE_VENDOR "plumet developers")
set(CPACK_PACKAGE_CONTACT "${plumet_maintainer}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${plumet_components})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${plumet_deb_release})
set(CPACK_DEBIAN_PACKAGE_SOURCE plumet)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The generator splits the debug information out of every unstripped file into NAME-dbgsym and
# strips what it ships; stripping earlier (CPACK_STRIP_FILES) would leave nothing to split.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)

set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
# dpkg-shlibdeps cannot see libdorvic0's shlibs file while the packages are built (it skips
# libdorvic.so.0): its users name the package themselves, at the version built with them.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_LIBDORVIC_DEV_DEPENDS libdorvic)
set(CPACK_COMPONENT_DORVICCTL_DEPENDS libdorvic)
set(CPACK_COMPONENT_PLUMET_DEPENDS libdorvic)
# Users of libdorvic built elsewhere need any libdorvic0 at least this new.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# dpkg runs ldconfig once after all packages of a run that activate its trigger.
set(CPACK_DEBIAN_LIBDORVIC_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/res/debian/triggers)

# Where CPack's packages and Debian's conventions differ, cmake/DebianFixups.cmake corrects them.
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianFixups.cmake)

# The scheme handler is opened through the desktop's default-application tools.
set(CPACK_DEBIAN_PLUMET_PACKAGE_RECOMMENDS "xdg-utils")
include(CPack)
