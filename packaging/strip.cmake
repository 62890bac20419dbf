# Run by CPack before it packs (CPACK_PRE_BUILD_SCRIPTS): strips the programs as
# Debian's own tools do, dropping the compiler's .comment and .note sections too.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(program IN LISTS programs)
  if(NOT IS_SYMLINK "${program}")
    execute_process(COMMAND strip --remove-section=.comment --remove-section=.note "${program}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
