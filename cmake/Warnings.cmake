# Warning set shared by every target of the project.
function(tp_warnings target)
  # -Wshadow=local is GCC's; clang (the fuzz build) does not know it.
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic
    $<$<CXX_COMPILER_ID:GNU>:-Wshadow=local>
    -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
  if(TP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
