# The ALSA and JACK back ends link their libraries into the core.
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack)
target_link_libraries(qafcore PUBLIC PkgConfig::ALSA PkgConfig::JACK)
# The file back end reads and writes sound files with libsndfile and converts rates with libsoxr.
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
target_link_libraries(qafcore PUBLIC PkgConfig::SNDFILE PkgConfig::SOXR)
