# Manual pages (section 1) of the installed programs, written from each program's `--help` once it
# is built (cmake/ManPage.cmake), so that they cannot drift from it. Each page goes into the package
# of its program.
function(plumet_man_page program summary)
  if(NOT TARGET ${program})
    return()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
  add_custom_command(OUTPUT ${page}
    # Only --help runs: a sanitized build's leak check at exit is none of this step's business.
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${program}> -DNAME=${program}
            -DSUMMARY=${summary} "-DSOURCE=plumet ${PROJECT_VERSION}" -DOUTPUT=${page}
            -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Writing the manual page of ${program}"
    VERBATIM)
  add_custom_target(${program}_man_page ALL DEPENDS ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${program})
  # The packaging test installs the pages too.
  if(TARGET package_test)
    add_dependencies(package_test ${program}_man_page)
  endif()
endfunction()

plumet_man_page(dorvicctl "command line over every call of libdorvic")
plumet_man_page(zelmicd "Zelmic file service on loopback")
plumet_man_page(plumet "edit files of an online file service in local applications")
