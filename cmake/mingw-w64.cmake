# Cross-compiles Lumaflash for 64-bit Windows with Debian's MinGW-w64 (posix threads variant, for
# std::thread). Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# SQLite, libpq and OpenSSL come from Debian's source packages, built for Windows into the build
# folder by scripts/build_sqlite_mingw.sh and scripts/build_pq_mingw.sh (NAME/include, NAME/lib),
# so find_package(SQLite3), find_package(PostgreSQL) and find_package(OpenSSL) find them there.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${CMAKE_BINARY_DIR}/sqlite"
    "${CMAKE_BINARY_DIR}/pq" "${CMAKE_BINARY_DIR}/openssl")
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe each: no libstdc++, libgcc or winpthread DLLs to ship or to find.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# ctest runs the test programs through Wine; the caller provides WINEPREFIX.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# nlohmann-json and Boost's Beast and Asio are header-only and the same on every target, so the
# cross-build uses Debian's copies (nlohmann-json3-dev, libboost1.81-dev) through a folder that
# holds nothing but them: the rest of /usr/include stays out of sight of the Windows compiler.
set(LUMAFLASH_MINGW_SHARED_HEADERS ${CMAKE_BINARY_DIR}/mingw-shared-headers)
foreach(library nlohmann boost)
  if(NOT EXISTS ${LUMAFLASH_MINGW_SHARED_HEADERS}/${library})
    file(MAKE_DIRECTORY ${LUMAFLASH_MINGW_SHARED_HEADERS})
    file(CREATE_LINK /usr/include/${library} ${LUMAFLASH_MINGW_SHARED_HEADERS}/${library} SYMBOLIC)
  endif()
endforeach()
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES ${LUMAFLASH_MINGW_SHARED_HEADERS})
