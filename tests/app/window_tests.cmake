# The window: its controller everywhere the window is built, its Qt face where Qt is.
if(TARGET lumaflash_app_logic)
  lumaflash_add_test(window_controller_test app/controller/window_controller_test.cpp)
  target_link_libraries(window_controller_test PRIVATE lumaflash_app_logic)
  # An update attempt in the window, and the same attempts through the command line.
  lumaflash_add_test(window_attempt_test app/controller/window_attempt_test.cpp)
  target_link_libraries(window_attempt_test PRIVATE lumaflash_app_logic lumaflash_test_support)
  target_compile_definitions(window_attempt_test PRIVATE
                             LUMAFLASH_CLI_PATH="$<TARGET_FILE:lumaflash-cli>")
  add_dependencies(window_attempt_test lumaflash-cli)
  lumaflash_add_test(window_options_test app/controller/window_options_test.cpp)
  target_link_libraries(window_options_test PRIVATE lumaflash_app_logic)
endif()
if(TARGET lumaflash_window)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  lumaflash_add_test(qt_window_test app/qt/qt_window_test.cpp)
  target_link_libraries(qt_window_test PRIVATE lumaflash_window lumaflash_test_support
                        Qt6::Widgets Qt6::Test)
  target_compile_definitions(qt_window_test PRIVATE LUMAFLASH_APP_PATH="$<TARGET_FILE:lumaflash>")
  add_dependencies(qt_window_test lumaflash)
endif()
