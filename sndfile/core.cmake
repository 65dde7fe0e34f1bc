# Sound files are read and written with libsndfile, and their rates converted with libsoxr.
pkg_check_modules(SNDFILE REQUIRED IMPORTED_TARGET sndfile)
pkg_check_modules(SOXR REQUIRED IMPORTED_TARGET soxr)
target_link_libraries(qafcore PUBLIC PkgConfig::SNDFILE PkgConfig::SOXR)
