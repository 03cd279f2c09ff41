# PLUMET_SANITIZE instruments every target; failures abort the test that hits them.
if(PLUMET_SANITIZE)
  set(_san_flags -fsanitize=${PLUMET_SANITIZE} -fno-omit-frame-pointer)
  if(PLUMET_SANITIZE MATCHES "undefined")
    list(APPEND _san_flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_san_flags})
  # GCC's flow analysis sees the sanitizers' instrumentation as paths that skip initialisation
  # and reports "may be used uninitialized" inside the standard library (<regex>, std::function);
  # the plain build keeps the warning.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-maybe-uninitialized)
  endif()
  add_link_options(${_san_flags})
endif()
