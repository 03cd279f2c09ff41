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

# Test helper: discover the gtest cases of TARGET at test time and label them.
function(plumet_add_gtest target label)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${label};${ARGN}" TIMEOUT 300)
endfunction()
