# The engine stress test (test_edit_stress.cpp) built again with RealtimeSanitizer and with
# ThreadSanitizer, each in a build folder of its own beside this one. Each ctest entry configures,
# builds and runs its folder:   ctest --test-dir build -L rtsan   (or -L tsan)
foreach(kind rtsan tsan)
  if(kind STREQUAL rtsan)
    set(san realtime)
    set(cc clang-22)
    set(cxx clang++-22)
  else()
    set(san thread)
    set(cc ${CMAKE_C_COMPILER})
    set(cxx ${CMAKE_CXX_COMPILER})
  endif()
  add_test(NAME ${kind}_edit_stress COMMAND ${CMAKE_COMMAND}
    -DSRC=${CMAKE_SOURCE_DIR} -DBIN=${CMAKE_BINARY_DIR}-${kind} -DSAN=${san}
    -DCC=${cc} -DCXX=${cxx} -P ${CMAKE_SOURCE_DIR}/scripts/sanitized_run.cmake)
  set_tests_properties(${kind}_edit_stress PROPERTIES LABELS ${kind} TIMEOUT 1200
    RESOURCE_LOCK jackd)
endforeach()
