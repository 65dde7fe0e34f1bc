# The ALSA and JACK back ends link their libraries into the core.
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
target_link_libraries(qafcore PUBLIC PkgConfig::ALSA PkgConfig::JACK)
