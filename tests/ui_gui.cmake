# The main window's UI test drives the X server with XTest (pointer and keyboard events that the
# server delivers as if from real devices).
if(TARGET ui_test_gui)
  pkg_check_modules(XTST REQUIRED IMPORTED_TARGET xtst x11)
  target_link_libraries(ui_test_gui PRIVATE PkgConfig::XTST)
endif()
