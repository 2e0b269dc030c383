# Warning flags for every target of the project; -Werror when WANSEER_WERROR is on (CI).
add_compile_options(-Wall -Wextra -Wshadow -Wformat=2 $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(WANSEER_WERROR)
  add_compile_options(-Werror)
endif()
