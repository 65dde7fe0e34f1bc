# The fake OSS device: a shared library that tests link (in-process device and audio-loop tests)
# or preload (end-to-end runs of the real program).
add_library(fakedsp SHARED ${CMAKE_CURRENT_SOURCE_DIR}/fakedsp/fakedsp.c)
target_include_directories(fakedsp PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/fakedsp)
foreach(t test_cardfeed test_audioThread test_audio_alloc)
  if(TARGET ${t})
    target_link_libraries(${t} PRIVATE fakedsp)
  endif()
endforeach()

# End-to-end runs of build/qaf under the fake device, all under one virtual X server.
if(TARGET qaf AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/e2e_qaf.cpp)
  add_executable(e2e_qaf ${CMAKE_CURRENT_SOURCE_DIR}/e2e_qaf.cpp)
  target_include_directories(e2e_qaf PRIVATE ${CMAKE_SOURCE_DIR})
  target_link_libraries(e2e_qaf PRIVATE GTest::gtest GTest::gtest_main Threads::Threads)
  target_compile_definitions(e2e_qaf PRIVATE
    QAF_BINARY="$<TARGET_FILE:qaf>" FAKEDSP_LIBRARY="$<TARGET_FILE:fakedsp>")
  add_dependencies(e2e_qaf qaf fakedsp)
  add_test(NAME e2e_qaf
    COMMAND xvfb-run -a -s "-screen 0 1280x1024x24" $<TARGET_FILE:e2e_qaf>)
  set_tests_properties(e2e_qaf PROPERTIES TIMEOUT 300
    ENVIRONMENT "GSETTINGS_BACKEND=memory;NO_AT_BRIDGE=1")
endif()
