# Every target of the project compiles with the same warning set.
add_compile_options(-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
                    -Wimplicit-fallthrough)
if(PLUMET_WERROR)
  add_compile_options(-Werror)
endif()
