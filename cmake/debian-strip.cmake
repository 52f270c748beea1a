# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files before it builds the packages:
# remove the .comment and .note sections from every ELF file, as Debian's own packaging tools
# do after stripping (compiler identification strings, useless at run time).
if(NOT CPACK_OBJCOPY)
  message(FATAL_ERROR "objcopy was not found when configuring; it comes with binutils")
endif()
file(GLOB_RECURSE staged LIST_DIRECTORIES false "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(file IN LISTS staged)
  if(IS_SYMLINK ${file})
    continue()
  endif()
  file(READ ${file} magic LIMIT 4 HEX)
  if(NOT magic STREQUAL "7f454c46")
    continue()
  endif()
  execute_process(COMMAND ${CPACK_OBJCOPY} --remove-section=.comment --remove-section=.note
                          ${file}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "objcopy could not remove .comment and .note from ${file}")
  endif()
endforeach()
