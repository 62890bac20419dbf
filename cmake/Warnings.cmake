# Warning set shared by every target of the project.
function(tp_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow=local
    -Wnon-virtual-dtor -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough)
  if(TP_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
