# The window and its decisions; only where the window is built.
if(TARGET lumaflash_window)
  lumaflash_add_test(update_command_test update_command_test.cpp)
  target_link_libraries(update_command_test PRIVATE lumaflash_app_logic)
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
  lumaflash_add_test(window_test window_test.cpp)
  target_link_libraries(window_test PRIVATE lumaflash_window Qt6::Widgets Qt6::Test)
endif()
