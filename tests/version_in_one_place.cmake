cmake_policy(SET CMP0009 NEW)
# Fails when the version number is written anywhere but in project() of CMakeLists.txt: the
# generated header, the Windows resources, the window's title and About text, the package and
# --version all take it from there. Left out, as their history is theirs: docs/, the README,
# the Debian changelog and the releases listed in the AppStream metadata.
# Run as: cmake -DSOURCE_DIR=... -DVERSION=... -DMAJOR=... -DMINOR=... -P version_in_one_place.cmake
string(REPLACE "." "\\." dotted "${VERSION}")
# The number as a whole (for 2.4: not 12.4 or 2.45), and "2, 4, 0, 0" as resource scripts write it.
set(pattern "(^|[^0-9.])${dotted}([^0-9]|$)")
set(resourcePattern "(^|[^0-9])${MAJOR}, *${MINOR}, *[0-9]+, *[0-9]+")
file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE ${SOURCE_DIR}
     ${SOURCE_DIR}/CMakeLists.txt ${SOURCE_DIR}/*/CMakeLists.txt ${SOURCE_DIR}/cmake/*
     ${SOURCE_DIR}/core/* ${SOURCE_DIR}/app/* ${SOURCE_DIR}/cli/* ${SOURCE_DIR}/sim/*
     ${SOURCE_DIR}/tools/* ${SOURCE_DIR}/tests/* ${SOURCE_DIR}/fuzz/* ${SOURCE_DIR}/bench/*
     ${SOURCE_DIR}/scripts/* ${SOURCE_DIR}/packaging/* ${SOURCE_DIR}/.ci/* ${SOURCE_DIR}/web/*)
list(REMOVE_DUPLICATES files)
set(found "")
foreach(file IN LISTS files)
  if(file MATCHES "\\.(ico|png|bin)$" OR file MATCHES "^fuzz/corpus/" OR
     file MATCHES "/node_modules/" OR file STREQUAL "packaging/changelog")
    continue()
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} lines)
  foreach(line IN LISTS lines)
    if(line MATCHES "project\\(Lumaflash VERSION" AND file STREQUAL "CMakeLists.txt")
      continue()
    endif()
    if(line MATCHES "<release version=" AND file MATCHES "metainfo")
      continue()
    endif()
    if(line MATCHES "${pattern}" OR (file MATCHES "\\.rc" AND line MATCHES "${resourcePattern}"))
      string(APPEND found "\n  ${file}: ${line}")
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "The version ${VERSION} is written outside project() in CMakeLists.txt; "
                      "take it from lumaflash_version.h or @PROJECT_VERSION@ instead:${found}")
endif()
