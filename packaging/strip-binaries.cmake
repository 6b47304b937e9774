# Run by CPack on the staged files before it packs them (one directory per package below
# the staging directory): strips the programs as Debian's dh_strip does, dropping the
# .comment and .note sections that plain strip leaves, and the static library of its
# debugging symbols the way dh_strip treats one (its symbol table stays for the linker).
file(GLOB_RECURSE staged LIST_DIRECTORIES false ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*)
foreach(file IN LISTS staged)
  get_filename_component(directory ${file} DIRECTORY)
  get_filename_component(directory ${directory} NAME)
  if(directory STREQUAL "bin" OR directory STREQUAL "sbin")
    set(strip_options --strip-unneeded)
  elseif(file MATCHES "\\.a$")
    set(strip_options --strip-debug --enable-deterministic-archives)
  else()
    continue()
  endif()
  execute_process(COMMAND strip --remove-section=.comment --remove-section=.note
                          ${strip_options} ${file}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "strip failed on ${file}")
  endif()
endforeach()
