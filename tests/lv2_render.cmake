# A file render through a plugin module whose worker loads an impulse response: the same every
# time, with the impulse in effect from the start (qaf_wavcompare is built in bench/).
if(TARGET qaf AND EXISTS ${CMAKE_SOURCE_DIR}/bench/wavCompare.cpp)
  add_test(NAME lv2_render_is_deterministic COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/lv2_render.sh
    $<TARGET_FILE:qaf> $<TARGET_FILE:qaf_wavcompare>)
  set_tests_properties(lv2_render_is_deterministic PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
endif()
