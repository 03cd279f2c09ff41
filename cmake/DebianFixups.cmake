# Run by cpack after it has written the Debian packages (CPACK_POST_BUILD_SCRIPTS), in its staging
# folder, to bring what CPack 3.25 writes in line with Debian's conventions:
# - a -dbgsym package lists its files in md5sums by absolute build paths and has no
#   /usr/share/doc: it gets md5sums of what it holds and, like Debian's own debug packages, its doc
#   folder as a link to the one of the package it serves (which it depends on at the same version);
# - a library package whose triggers file activates ldconfig needs no maintainer scripts, but CPack
#   adds a postinst and a postrm that call ldconfig once more for every library under /usr/lib.
# A package is unpacked and built again only when something changes.
function(plumet_cpack_ldconfig_script path out)
  set(${out} FALSE PARENT_SCOPE)
  if(EXISTS "${path}")
    file(READ "${path}" script)
    string(CONCAT cpack_form "^#!/bin/sh\n\nset -e\n\n"
                  "if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n\tldconfig\nfi\n?$")
    if(script MATCHES "${cpack_form}")
      set(${out} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.d?deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  set(changed FALSE)

  if(EXISTS "${tree}/DEBIAN/triggers")
    file(READ "${tree}/DEBIAN/triggers" triggers)
    if(triggers MATCHES "activate-noawait ldconfig")
      foreach(name postinst postrm)
        plumet_cpack_ldconfig_script("${tree}/DEBIAN/${name}" only_ldconfig)
        if(only_ldconfig)
          file(REMOVE "${tree}/DEBIAN/${name}")
          set(changed TRUE)
        endif()
      endforeach()
    endif()
  endif()

  if(deb MATCHES "-dbgsym_[^/]*\\.ddeb$")
    execute_process(COMMAND dpkg-deb -f "${deb}" Package OUTPUT_VARIABLE package
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    string(REGEX REPLACE "-dbgsym$" "" served "${package}")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${served}" "${tree}/usr/share/doc/${package}" SYMBOLIC)
    file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*")
    list(SORT files)
    set(sums "")
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK "${tree}/${file}")
        file(MD5 "${tree}/${file}" sum)
        string(APPEND sums "${sum}  ${file}\n")
      endif()
    endforeach()
    file(WRITE "${tree}/DEBIAN/md5sums" "${sums}")
    file(CHMOD "${tree}/DEBIAN/md5sums" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    set(changed TRUE)
  endif()

  if(changed)
    execute_process(COMMAND dpkg-deb --root-owner-group --build "${tree}" "${deb}"
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
