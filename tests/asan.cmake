# The core and the tests that race a refilling UI thread against the audio thread, built again
# with AddressSanitizer, so that a read of a freed sample buffer fails the run. Part of the normal
# test run (QAF_ASAN_TESTS=ON); alone:
#   cmake --build build --target test_sample_modules_asan
#   ./build/tests/test_sample_modules_asan --gtest_filter='*Stress*:*Refill*'
option(QAF_ASAN_TESTS "Build and run the sample-slot stress tests under AddressSanitizer" ON)
if(QAF_ASAN_TESTS)
  set(QAF_ASAN_FLAGS -fsanitize=address -fno-omit-frame-pointer)
  add_library(qafcore_asan STATIC ${QAF_CORE_SOURCES})
  target_compile_options(qafcore_asan PRIVATE ${QAF_ASAN_FLAGS})
  target_include_directories(qafcore_asan PUBLIC
    $<TARGET_PROPERTY:qafcore,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(qafcore_asan PUBLIC $<TARGET_PROPERTY:qafcore,INTERFACE_LINK_LIBRARIES>)

  add_executable(test_sample_modules_asan ${CMAKE_CURRENT_SOURCE_DIR}/test_sample_modules.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/testutil.cpp)
  target_compile_options(test_sample_modules_asan PRIVATE ${QAF_ASAN_FLAGS})
  target_link_options(test_sample_modules_asan PRIVATE ${QAF_ASAN_FLAGS})
  target_link_libraries(test_sample_modules_asan PRIVATE qafcore_asan GTest::gtest GTest::gtest_main)
  add_test(NAME test_sample_modules_asan_stress COMMAND test_sample_modules_asan
    --gtest_filter=*Stress*)
  add_test(NAME test_sample_modules_asan_refill COMMAND test_sample_modules_asan
    --gtest_filter=*WhileTheUiThreadRefills*)
endif()
