# The version is set once, in project(). At every build a small step writes it, with the
# `git describe` of the source tree when there is one, into lumaflash_version.h; the header is
# only rewritten when its text changes, so an unchanged tree rebuilds nothing.
set(LUMAFLASH_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)
add_custom_target(lumaflash_version_header
  COMMAND ${CMAKE_COMMAND} -DVERSION=${PROJECT_VERSION} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -DOUTPUT=${LUMAFLASH_GENERATED_DIR}/lumaflash_version.h
          -P ${PROJECT_SOURCE_DIR}/cmake/WriteVersion.cmake
  BYPRODUCTS ${LUMAFLASH_GENERATED_DIR}/lumaflash_version.h
  VERBATIM)
add_library(lumaflash_version INTERFACE)
target_include_directories(lumaflash_version INTERFACE ${LUMAFLASH_GENERATED_DIR})
add_dependencies(lumaflash_version lumaflash_version_header)
# The Windows resources carry the same version: file properties, manifest, title, About box.
if(WIN32)
  set(LUMAFLASH_WIN32_SOURCE_DIR ${PROJECT_SOURCE_DIR}/app/win32)
  foreach(file program.rc window.rc lumaflash.manifest)
    configure_file(${LUMAFLASH_WIN32_SOURCE_DIR}/${file}.in ${LUMAFLASH_GENERATED_DIR}/${file} @ONLY)
  endforeach()
endif()
