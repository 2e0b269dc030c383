# Warning flags for every target of the project; -Werror when WANSEER_WERROR is on (CI).
add_compile_options(-Wall -Wextra -Wshadow -Wnon-virtual-dtor -Wformat=2)
if(WANSEER_WERROR)
  add_compile_options(-Werror)
endif()
