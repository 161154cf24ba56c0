# The Debian package (scripts/package.sh runs cpack). Its dependencies come from dpkg-shlibdeps;
# the window also needs Qt's platform plugins, which no library links to.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumaflash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the Lumaflash developers")
set(CPACK_PACKAGE_CONTACT "Lumaflash developers <lumaflash@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# `records --tz` reads the zone files, which no library links to either.
set(CPACK_DEBIAN_PACKAGE_DEPENDS tzdata)
if(TARGET lumaflash)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, tzdata")
endif()
# CPack indents the lines and turns the empty one into the paragraph mark.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware updater for lighting-control devices")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Lumaflash writes new firmware into lighting-control devices such as DMX512
interfaces, LED dimmers and pixel controllers. A device in bootloader mode
shows up as a USB serial port; Lumaflash finds it, checks that the firmware
image fits it, sends the image in acknowledged blocks and starts the new
firmware.

The package holds the window (lumaflash); the command-line tool for scripts
and production lines (lumaflash-cli), which can update several devices at
once and keep a record of every update; and a simulated device for trials
and demonstrations (lumaflash-sim).")
include(CPack)
