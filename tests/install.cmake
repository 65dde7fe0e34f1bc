# The installed tree, in a scratch prefix: program, desktop entry, icon, manual page, examples.
add_test(NAME install_tree COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_install.sh ${CMAKE_BINARY_DIR})
set_tests_properties(install_tree PROPERTIES TIMEOUT 120)
