# WANSEER_SANITIZE=address builds everything with ASan, UBSan and LeakSanitizer;
# WANSEER_SANITIZE=thread with ThreadSanitizer.
if(WANSEER_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(WANSEER_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT WANSEER_SANITIZE STREQUAL "")
  message(FATAL_ERROR "WANSEER_SANITIZE must be empty, address or thread")
endif()
