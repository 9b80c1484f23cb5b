# The window, message and drawing half of the SDL backend, on real SDL windows of the
# dummy driver (offscreen probes Mesa's EGL at start-up, which leaks inside Mesa and
# fails LeakSanitizer).
if(NOT WIN32)
  qm_add_gtest(test_platform_window
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/gdi_test.cpp
    LIBS qm_platform_testing
    LABELS window
    ENV SDL_VIDEODRIVER=dummy)
  qm_add_gtest(test_platform_window_threads
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_thread_test.cpp
    LIBS qm_platform
    LABELS window concurrency
    ENV SDL_VIDEODRIVER=dummy)
  # Creates its own environment: no display, no driver named.
  qm_add_gtest(test_platform_nodisplay
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/nodisplay_test.cpp
    LIBS qm_platform
    LABELS window)
endif()
