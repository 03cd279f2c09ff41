# Install folders, decided once before any directory uses them. Libraries go to the multiarch
# folder (lib/<triplet>) under every prefix, where Debian keeps them under /usr: GNUInstallDirs
# picks it for the prefix /usr alone, and a staged install and the packages must lay out the same
# tree. A build folder configured before keeps the folder in its cache.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}"
      CACHE PATH "Object code libraries (lib/<multiarch triplet>)")
endif()
include(GNUInstallDirs)
