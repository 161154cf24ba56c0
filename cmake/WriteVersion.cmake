# Run as a script (cmake -P) by the lumaflash_version_header target: VERSION, SOURCE_DIR, OUTPUT.
set(LUMAFLASH_DESCRIBE "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
                  WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE status ERROR_QUIET)
  if(status EQUAL 0)
    set(LUMAFLASH_DESCRIBE "${describe}")
  endif()
endif()
set(LUMAFLASH_VERSION "${VERSION}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/lumaflash_version.h.in ${OUTPUT} @ONLY)
