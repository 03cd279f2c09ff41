# PLUMET_SANITIZE instruments every target; failures abort the test that hits them.
if(PLUMET_SANITIZE)
  set(_san_flags -fsanitize=${PLUMET_SANITIZE} -fno-omit-frame-pointer)
  if(PLUMET_SANITIZE MATCHES "undefined")
    list(APPEND _san_flags -fno-sanitize-recover=all)
  endif()
  add_compile_options(${_san_flags})
  add_link_options(${_san_flags})
endif()
