# The WAV reader's fuzz target. The normal test run replays its kept corpus and every regression
# input (crashes included) through the plain reader and through an ASan build of it. The libFuzzer
# program itself is built with clang only on request:
#   cmake --build build --target fuzz_wav
#   ./build/tests/fuzz_wav -runs=1000000 build/tests/wav_corpus tests/fuzz/corpus_wav
set(QAF_FUZZ_DIR ${CMAKE_CURRENT_SOURCE_DIR}/fuzz)

add_executable(fuzz_wav_replay ${QAF_FUZZ_DIR}/fuzz_wav.cpp ${QAF_FUZZ_DIR}/replay_main.cpp)
target_link_libraries(fuzz_wav_replay PRIVATE qafcore)
add_test(NAME fuzz_wav_replay
  COMMAND fuzz_wav_replay ${QAF_FUZZ_DIR}/corpus_wav ${QAF_FUZZ_DIR}/regressions_wav)

if(TARGET qafcore_asan)
  add_executable(fuzz_wav_replay_asan ${QAF_FUZZ_DIR}/fuzz_wav.cpp ${QAF_FUZZ_DIR}/replay_main.cpp)
  target_compile_options(fuzz_wav_replay_asan PRIVATE ${QAF_ASAN_FLAGS})
  target_link_options(fuzz_wav_replay_asan PRIVATE ${QAF_ASAN_FLAGS})
  target_link_libraries(fuzz_wav_replay_asan PRIVATE qafcore_asan)
  add_test(NAME fuzz_wav_replay_asan
    COMMAND fuzz_wav_replay_asan ${QAF_FUZZ_DIR}/corpus_wav ${QAF_FUZZ_DIR}/regressions_wav)
endif()

find_program(QAF_CLANGXX NAMES clang++ clang++-14)
if(QAF_CLANGXX)
  set(QAF_FUZZ_SOURCES ${QAF_FUZZ_DIR}/fuzz_wav.cpp ${CMAKE_SOURCE_DIR}/sndfile/wavRead.cpp
    ${CMAKE_SOURCE_DIR}/samples/loopStore.cpp ${CMAKE_SOURCE_DIR}/base/hooks.cpp
    ${CMAKE_SOURCE_DIR}/engine/taps.cpp)
  add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/fuzz_wav
    COMMAND ${QAF_CLANGXX} -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined
      -fno-sanitize-recover=undefined -I${CMAKE_SOURCE_DIR} ${GLIB_CFLAGS} ${QAF_FUZZ_SOURCES}
      -o ${CMAKE_CURRENT_BINARY_DIR}/fuzz_wav ${GLIB_LDFLAGS} -lpthread
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/wav_corpus
    DEPENDS ${QAF_FUZZ_SOURCES} ${CMAKE_SOURCE_DIR}/samples/loopStore.h
    COMMENT "Building the WAV reader's fuzz target with clang")
  add_custom_target(fuzz_wav DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/fuzz_wav)
endif()
