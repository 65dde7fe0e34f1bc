# Layouts loaded while the audio thread runs: the test links the fake OSS device (tests/fakedsp.cmake).
if(TARGET test_layout_audio AND TARGET fakedsp)
  target_link_libraries(test_layout_audio PRIVATE fakedsp)
endif()
