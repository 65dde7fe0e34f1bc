# The LV2 host reads the installed plugins with lilv.
pkg_check_modules(LILV REQUIRED IMPORTED_TARGET lilv-0)
target_link_libraries(qafcore PUBLIC PkgConfig::LILV)
# The pass's conversions between 16-bit chunks and the plugins' floats are vector code only when
# float comparisons may not trap (QAF never unmasks a float exception).
set_source_files_properties(${CMAKE_SOURCE_DIR}/lv2/lv2pass.cpp PROPERTIES
  COMPILE_OPTIONS -fno-trapping-math)
