function(corvane_warnings target)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wsign-conversion)
    if(CORVANE_WERROR)
      target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(CORVANE_SANITIZE)
      target_compile_options(${target} PUBLIC -fsanitize=address,undefined
                                              -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
      target_link_options(${target} PUBLIC -fsanitize=address,undefined)
    endif()
  endif()
endfunction()
