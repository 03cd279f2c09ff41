# Debian packages only; scripts/bootstrap installs them.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(OpenSSL REQUIRED)
find_package(ZLIB REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(GTest REQUIRED)
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
pkg_check_modules(MHD REQUIRED IMPORTED_TARGET libmicrohttpd)
pkg_check_modules(SPARSEHASH REQUIRED IMPORTED_TARGET libsparsehash)
if(PLUMET_BENCH AND NOT PLUMET_SANITIZE)
  find_package(benchmark REQUIRED)
endif()

# Test helper: discover the gtest cases of TARGET at test time and label them with LABEL and any
# further labels given (e.g. "threads"). gtest_discover_tests would split a label list given through
# PROPERTIES, so the labels are set by an include file that runs after discovery.
function(plumet_add_gtest target label)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
  set(labels_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_labels.cmake")
  file(WRITE "${labels_file}"
    "if(${target}_TESTS)\n"
    "  set_tests_properties(\${${target}_TESTS} PROPERTIES LABELS \"${label};${ARGN}\")\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${labels_file}")
endfunction()
