# test_example_files reads the examples the build makes in build/examples.
if(TARGET test_example_files)
  target_compile_definitions(test_example_files PRIVATE
    QAF_EXAMPLES_DIR="${CMAKE_BINARY_DIR}/examples")
  add_dependencies(test_example_files examples)
endif()
