# The window framework on real windows: SDL's offscreen driver here, the real thing on Windows.
qm_add_gtest(test_framework_window
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test.cpp
  LIBS qm_framework
  LABELS window
  ENV SDL_VIDEODRIVER=offscreen QM_SCREEN_SIZE=1920x1080)
