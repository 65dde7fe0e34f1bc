# The folders whose sources make the core library (everything but the GTK front end and the
# program's entry point), for the main build and the fuzzers' build alike.
set(QAF_CORE_DIRS base engine audio sndfile modules lv2 samples command files monitor control)
