# End-to-end run of the parameter dialogs: the real program under the fake OSS device, driven
# with xdotool on a virtual X server. Needs the program, the fake device (fakedsp.cmake, included
# before this file) and a main window whose canvas takes mouse clicks.
file(STRINGS ${CMAKE_SOURCE_DIR}/ui/gui.cpp QAF_CANVAS_CLICKS REGEX "button_press_event")
if(TARGET qaf AND TARGET fakedsp AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/devicetest.h
   AND QAF_CANVAS_CLICKS)
  add_executable(e2e_parmDialog ${CMAKE_CURRENT_SOURCE_DIR}/e2e_parmDialog.cpp)
  target_include_directories(e2e_parmDialog PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(e2e_parmDialog PRIVATE GTest::gtest GTest::gtest_main)
  target_compile_definitions(e2e_parmDialog PRIVATE
    QAF_BINARY="$<TARGET_FILE:qaf>" FAKEDSP_LIBRARY="$<TARGET_FILE:fakedsp>")
  add_dependencies(e2e_parmDialog qaf fakedsp)
  add_test(NAME e2e_parmDialog
    COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:e2e_parmDialog>)
  set_tests_properties(e2e_parmDialog PROPERTIES TIMEOUT 120
    ENVIRONMENT "GSETTINGS_BACKEND=memory;NO_AT_BRIDGE=1")
endif()
