# The ALSA and JACK back ends link their libraries into the core.
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
# zita-resampler converts between a sound server's rate and 44100 Hz (no pkg-config file).
find_library(ZITA_RESAMPLER zita-resampler REQUIRED)
target_link_libraries(qafcore PUBLIC PkgConfig::ALSA PkgConfig::JACK ${ZITA_RESAMPLER})
