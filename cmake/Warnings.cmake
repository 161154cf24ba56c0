# One place for the warning set, so every target is built the same way.
function(lumaflash_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wnon-virtual-dtor -Wold-style-cast -Wcast-align -Woverloaded-virtual
    -Wnull-dereference -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
  if(LUMAFLASH_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
