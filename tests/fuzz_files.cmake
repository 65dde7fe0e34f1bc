# Fuzzing of the file loaders. When clang is installed, the libFuzzer targets build/fuzz/fuzz_layout,
# fuzz_layout_recipe and fuzz_sbank are built as a project of their own (sanitizers need clang). The
# normal test run replays their corpora and every kept crash input through the plain loaders.
# (The WAV reader's fuzzing is tests/fuzz.cmake.)
find_program(QAF_CLANGXX NAMES clang++ clang++-14)
if(QAF_CLANGXX)
  include(ExternalProject)
  ExternalProject_Add(qaf_fuzzers
    SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/fuzz
    BINARY_DIR ${CMAKE_BINARY_DIR}/fuzz
    CMAKE_ARGS -DCMAKE_CXX_COMPILER=${QAF_CLANGXX} -DCMAKE_BUILD_TYPE=RelWithDebInfo
      -DQAF_ROOT=${CMAKE_SOURCE_DIR}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON)
endif()
if(TARGET test_fuzz_replay)
  target_compile_definitions(test_fuzz_replay PRIVATE QAF_FUZZ_DIR="${CMAKE_CURRENT_SOURCE_DIR}/fuzz")
endif()
