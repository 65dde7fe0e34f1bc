# Configures, builds and runs one sanitized build of the engine stress tests (see sanitizers.cmake).
# Arguments: SRC, BIN (its build folder), SAN (realtime or thread), CC and CXX (the compilers).
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SRC} -B ${BIN} -DQAF_SANITIZER=${SAN}
  -DCMAKE_C_COMPILER=${CC} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
  RESULT_VARIABLE r OUTPUT_QUIET)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "configuring the ${SAN} build in ${BIN} failed")
endif()
set(storms test_edit_stress test_edit_stress_lv2)
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BIN} -j2 --target ${storms}
  RESULT_VARIABLE r OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT r EQUAL 0)
  message(FATAL_ERROR "building the ${SAN} build failed:\n${out}")
endif()
foreach(storm ${storms})
  execute_process(COMMAND ${BIN}/${storm} RESULT_VARIABLE r)
  if(NOT r EQUAL 0)
    message(FATAL_ERROR "the ${SAN} ${storm} failed")
  endif()
endforeach()
