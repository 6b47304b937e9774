# Run by CPack on the staged files before it packs them: strips the programs as Debian's
# dh_strip does, dropping the .comment and .note sections that plain strip leaves.
file(GLOB programs ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/* ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/sbin/*)
foreach(program IN LISTS programs)
  execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                          --strip-unneeded ${program}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip failed on ${program}")
  endif()
endforeach()
