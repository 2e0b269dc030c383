# WANSEER_SANITIZE=address builds everything with ASan, UBSan and LeakSanitizer;
# WANSEER_SANITIZE=thread with ThreadSanitizer.
if(WANSEER_SANITIZE STREQUAL "address")
  # Without vptr: its check opens a pipe for every dynamic type it tests, so it
  # reports false errors while the descriptor table is full (a case the tests
  # make on purpose), and with clang it needs the C++ runtime of UBSan in
  # every host, also a plain C one that loads the library.  The library
  # defines no polymorphic class of its own.
  # clang's function check (a call through a function pointer of another
  # type) needs that same C++ runtime, so it goes too; gcc has no such
  # check.
  add_compile_options(-fsanitize=address,undefined -fno-sanitize=vptr
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-fno-sanitize=function>)
  endif()
  add_link_options(-fsanitize=address,undefined)
elseif(WANSEER_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT WANSEER_SANITIZE STREQUAL "")
  message(FATAL_ERROR "WANSEER_SANITIZE must be empty, address or thread")
endif()
