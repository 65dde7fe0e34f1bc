# UI tests: one program per file tests/ui_test_*.cpp, linked with the GTK front end and run whole
# under a virtual X server (xvfb-run), with an in-memory settings back end.
file(GLOB QAF_UI_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/ui_test_*.cpp)
if(TARGET qafui)
  foreach(src ${QAF_UI_TEST_SOURCES})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src} ui_main.cpp testutil.cpp)
    target_link_libraries(${name} PRIVATE qafui GTest::gtest)
    add_test(NAME ${name}
      COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:${name}>)
    set_tests_properties(${name} PROPERTIES TIMEOUT 300
      ENVIRONMENT "GSETTINGS_BACKEND=memory;NO_AT_BRIDGE=1")
    if(name IN_LIST QAF_JACKD_TESTS)
      set_tests_properties(${name} PROPERTIES RESOURCE_LOCK jackd)
    endif()
  endforeach()
endif()
