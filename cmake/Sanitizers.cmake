# LUMAFLASH_SANITIZE builds everything with the named sanitizers, for example
# "address,undefined" or "thread". Any report ends the program at once (no recovery), so a test
# that trips a sanitizer fails.
set(LUMAFLASH_SANITIZE "" CACHE STRING "Sanitizers to build with: address,undefined | thread")
if(LUMAFLASH_SANITIZE)
  add_compile_options(-fsanitize=${LUMAFLASH_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${LUMAFLASH_SANITIZE} -fno-sanitize-recover=all)
endif()
