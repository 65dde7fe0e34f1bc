# The installed tree, in a scratch prefix: program, window module, desktop entry, icon, manual
# page, examples. The window's check runs on a virtual X server of its own (xvfb-run).
add_test(NAME install_tree COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_install.sh ${CMAKE_BINARY_DIR})
set_tests_properties(install_tree PROPERTIES TIMEOUT 120
  ENVIRONMENT "GSETTINGS_BACKEND=memory;NO_AT_BRIDGE=1")
