# The LV2 host reads the installed plugins with lilv.
pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)
target_link_libraries(qafcore PUBLIC PkgConfig::LILV)
