# The window, message and drawing half of the SDL backend, on SDL's offscreen driver.
if(NOT WIN32)
  qm_add_gtest(test_platform_window
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/gdi_test.cpp
    LIBS qm_platform
    LABELS window
    ENV SDL_VIDEODRIVER=offscreen QM_SCREEN_SIZE=1920x1080)
  qm_add_gtest(test_platform_window_threads
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_thread_test.cpp
    LIBS qm_platform
    LABELS window concurrency
    ENV SDL_VIDEODRIVER=offscreen)
  # Creates its own environment: no display, no driver named.
  qm_add_gtest(test_platform_nodisplay
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/nodisplay_test.cpp
    LIBS qm_platform
    LABELS window)
endif()
