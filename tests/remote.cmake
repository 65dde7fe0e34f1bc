# Control from elsewhere, end to end: build/qaf's remote control server on the fake device, its
# page in headless Chromium, and the session manager client against a private jackd.
if(TARGET qaf AND TARGET fakedsp)
  add_executable(e2e_remote ${CMAKE_CURRENT_SOURCE_DIR}/e2e_remote.cpp)
  target_include_directories(e2e_remote PRIVATE ${CMAKE_SOURCE_DIR})
  pkg_check_modules(JACK_FOR_REMOTE REQUIRED IMPORTED_TARGET jack)
  target_link_libraries(e2e_remote PRIVATE PkgConfig::SOUP3 PkgConfig::LIBLO PkgConfig::JACK_FOR_REMOTE
    GTest::gtest GTest::gtest_main)
  target_compile_definitions(e2e_remote PRIVATE QAF_BINARY="$<TARGET_FILE:qaf>"
    FAKEDSP_LIBRARY="$<TARGET_FILE:fakedsp>" QAF_EXAMPLES_DIR="${CMAKE_BINARY_DIR}/examples"
    QAF_BUILD_DIR="${CMAKE_BINARY_DIR}")
  add_dependencies(e2e_remote qaf fakedsp examples)
  gtest_discover_tests(e2e_remote DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 RESOURCE_LOCK jackd)
endif()
