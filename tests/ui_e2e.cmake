# End-to-end run of build/qaf under the fake OSS device, on a virtual X server, driven with
# xdotool; its screenshots are left in the build folder (e2e_gui_start.png, e2e_gui_patch.png,
# e2e_gui_tuner.png).
if(TARGET qaf AND TARGET fakedsp AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/e2e_gui.cpp)
  pkg_check_modules(GDKPIXBUF REQUIRED IMPORTED_TARGET gdk-pixbuf-2.0)
  add_executable(e2e_gui ${CMAKE_CURRENT_SOURCE_DIR}/e2e_gui.cpp)
  target_include_directories(e2e_gui PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(e2e_gui PRIVATE GTest::gtest GTest::gtest_main PkgConfig::GDKPIXBUF)
  target_compile_definitions(e2e_gui PRIVATE QAF_BINARY="$<TARGET_FILE:qaf>"
    FAKEDSP_LIBRARY="$<TARGET_FILE:fakedsp>" BUILD_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(e2e_gui qaf fakedsp)
  add_test(NAME e2e_gui
    COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:e2e_gui>)
  set_tests_properties(e2e_gui PROPERTIES TIMEOUT 120
    ENVIRONMENT "GSETTINGS_BACKEND=memory;NO_AT_BRIDGE=1")
endif()
