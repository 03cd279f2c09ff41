# What `cmake --install` puts where a Linux user expects it, under any prefix (DESTDIR works too);
# LIBDIR is lib/<multiarch triplet> (cmake/InstallDirs.cmake):
#   bin/dorvicctl, bin/zelmicd (and bin/plumet once that target exists, its LIBDIR/plumet/ library)
#   LIBDIR/libdorvic.so.MAJOR (+ the development link), include/dorvic/dorvic.h,
#   LIBDIR/pkgconfig/dorvic.pc
#   lib/systemd/user/zelmicd.service
#   share/applications/plumet.desktop, share/icons/hicolor/{scalable,48x48}/apps/plumet.*
#   share/man/man1/<program>.1.gz (cmake/ManPages.cmake)
# Each rule names the component, that is the Debian package (cmake/Packaging.cmake), it belongs to.
# Files that name installed paths are written at install time, so that `cmake --install --prefix P`
# and the package's prefix both end up in them.
set_target_properties(dorvic PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS dorvic LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libdorvic
        NAMELINK_COMPONENT libdorvic_dev)
install(FILES ${PROJECT_SOURCE_DIR}/dorvic/include/dorvic/dorvic.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/dorvic COMPONENT libdorvic_dev)

# The programs find libdorvic beside them under any prefix, also one that ld.so does not search.
# Each program is the package of its own name.
set(plumet_programs dorvicctl zelmicd)
if(TARGET plumet)
  list(APPEND plumet_programs plumet)
endif()
file(RELATIVE_PATH plumet_bin_to_lib "/prefix/${CMAKE_INSTALL_BINDIR}" "/prefix/${CMAKE_INSTALL_LIBDIR}")
foreach(program IN LISTS plumet_programs)
  set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${plumet_bin_to_lib}")
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${program})
endforeach()

# plumet's resident library is private to it: a folder of its own under the library folder, found
# by the program relative to itself, and finding libdorvic one level up.
if(TARGET plumet)
  target_compile_definitions(plumet PRIVATE PLUMET_RESIDENT_FROM_BIN="${plumet_bin_to_lib}/plumet")
  set_target_properties(plumet_resident PROPERTIES INSTALL_RPATH "$ORIGIN/..")
  install(TARGETS plumet_resident LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/plumet
          COMPONENT plumet)
endif()

# Configures TEMPLATE at install time into DESTINATION (relative to the prefix), as part of
# COMPONENT. The template may use @plumet_prefix@ and @plumet_bindir@ (the installed prefix and
# program folder, as the running system sees them), @plumet_libdir@, @plumet_includedir@ (relative
# to the prefix) and @plumet_version@. The desktop entry's @EXEC@ and @ICON@ name the installed
# program and its themed icon; the resident program fills the same template with its own path when
# it registers itself.
function(plumet_install_configured template destination component)
  get_filename_component(name ${template} NAME_WLE)
  # One staging folder per destination: installs into several places may run at the same time.
  install(CODE "
    set(plumet_prefix \"\${CMAKE_INSTALL_PREFIX}\")
    set(plumet_bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    set(plumet_libdir \"${CMAKE_INSTALL_LIBDIR}\")
    set(plumet_includedir \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(plumet_version \"${PROJECT_VERSION}\")
    set(EXEC \"\${plumet_bindir}/plumet %u\")
    set(ICON plumet)
    string(MD5 plumet_where \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(plumet_staged \"${PROJECT_BINARY_DIR}/install-time/\${plumet_where}/${name}\")
    configure_file(\"${template}\" \"\${plumet_staged}\" @ONLY)
    file(INSTALL \"\${plumet_staged}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\")
  " COMPONENT ${component})
endfunction()

plumet_install_configured(${PROJECT_SOURCE_DIR}/res/dorvic.pc.in ${CMAKE_INSTALL_LIBDIR}/pkgconfig
                          libdorvic_dev)

plumet_install_configured(${PROJECT_SOURCE_DIR}/res/zelmicd.service.in lib/systemd/user zelmicd)

if(TARGET plumet)
  plumet_install_configured(${PROJECT_SOURCE_DIR}/res/plumet.desktop.in
                            ${CMAKE_INSTALL_DATADIR}/applications plumet)
  install(FILES ${PROJECT_SOURCE_DIR}/res/plumet.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT plumet)
  install(FILES ${PROJECT_SOURCE_DIR}/res/plumet-48.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps RENAME plumet.png
          COMPONENT plumet)
endif()

# The packaging test installs what is built: everything it installs must be built before it.
if(TARGET package_test)
  add_dependencies(package_test ${plumet_programs} dorvic)
  if(TARGET plumet)
    add_dependencies(package_test plumet_resident)
  endif()
endif()
