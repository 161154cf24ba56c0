# Where `cmake --install` puts everything on Linux, laid out as the desktop and Debian expect.
# Manual pages and the changelog are installed compressed (gzip -n: no time stamp, so two builds
# give the same files).
include(GNUInstallDirs)

set(lumaflash_programs lumaflash-cli lumaflash-sim)
if(TARGET lumaflash)
  list(APPEND lumaflash_programs lumaflash)
endif()
install(TARGETS ${lumaflash_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(lumaflash_compressed)
function(lumaflash_gzip source output)
  add_custom_command(OUTPUT ${output}
    COMMAND gzip -9 -n -c ${source} > ${output}
    DEPENDS ${source} VERBATIM)
  list(APPEND lumaflash_compressed ${output})
  set(lumaflash_compressed ${lumaflash_compressed} PARENT_SCOPE)
endfunction()

foreach(program ${lumaflash_programs})
  # The pages carry the version from project().
  configure_file(docs/man/${program}.1 ${PROJECT_BINARY_DIR}/man/${program}.1 @ONLY)
  lumaflash_gzip(${PROJECT_BINARY_DIR}/man/${program}.1 ${PROJECT_BINARY_DIR}/man/${program}.1.gz)
  install(FILES ${PROJECT_BINARY_DIR}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
lumaflash_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_target(lumaflash_compressed_docs ALL DEPENDS ${lumaflash_compressed})

set(lumaflash_share ${CMAKE_INSTALL_DATAROOTDIR})
install(FILES packaging/lumaflash-cli.bash-completion
        DESTINATION ${lumaflash_share}/bash-completion/completions RENAME lumaflash-cli)
install(FILES README.md LICENSE packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${lumaflash_share}/doc/lumaflash)
if(TARGET lumaflash)
  install(FILES packaging/lumaflash.desktop DESTINATION ${lumaflash_share}/applications)
  install(FILES packaging/org.example.lumaflash.metainfo.xml
          DESTINATION ${lumaflash_share}/metainfo)
  foreach(size 48 256)
    install(FILES packaging/icons/lumaflash-${size}.png
            DESTINATION ${lumaflash_share}/icons/hicolor/${size}x${size}/apps RENAME lumaflash.png)
  endforeach()
  install(FILES packaging/icons/lumaflash.svg
          DESTINATION ${lumaflash_share}/icons/hicolor/scalable/apps)
endif()
