# End-to-end runs of build/qaf on its sound devices without sound hardware: WAV files, ALSA
# through a configuration each test writes, alsa-oss's OSS emulation and a private jackd.
if(TARGET qaf AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/fakedsp/fakedsp.c)
  add_executable(e2e_backends ${CMAKE_CURRENT_SOURCE_DIR}/e2e_backends.cpp testutil.cpp)
  target_link_libraries(e2e_backends PRIVATE qafcore GTest::gtest GTest::gtest_main)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-multiarch
    OUTPUT_VARIABLE QAF_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE)
  target_compile_definitions(e2e_backends PRIVATE
    QAF_BINARY="$<TARGET_FILE:qaf>" FAKEDSP_LIBRARY="$<TARGET_FILE:fakedsp>"
    AOSS_LIBRARY="/usr/lib/${QAF_MULTIARCH}/libaoss.so"
    QAF_EXAMPLES_DIR="${CMAKE_BINARY_DIR}/examples")
  add_dependencies(e2e_backends qaf fakedsp examples)
  gtest_discover_tests(e2e_backends DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 180 RESOURCE_LOCK jackd)
endif()
