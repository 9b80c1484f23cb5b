# The window framework on real windows: SDL's dummy driver here (see tests/platform/window.cmake),
# the real thing on Windows.
set(QM_WINDOW_TEST_SEAMS "")
if(TARGET qm_platform_testing)
  set(QM_WINDOW_TEST_SEAMS qm_platform_testing)
endif()
qm_add_gtest(test_framework_window
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/window_test.cpp
  LIBS qm_framework ${QM_WINDOW_TEST_SEAMS}
  LABELS window
  ENV SDL_VIDEODRIVER=dummy)

# The end-to-end check under Xvfb: real pointer drags and the real close paths.
if(NOT WIN32)
  add_executable(window_demo ${CMAKE_CURRENT_SOURCE_DIR}/window_demo.cpp)
  target_link_libraries(window_demo PRIVATE qm_framework)
  add_test(NAME WindowE2E.DragThenCloseButtonAndSigintUnderXvfb
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/window_e2e.sh $<TARGET_FILE:window_demo>
            ${PROJECT_SOURCE_DIR}/tests/e2e/wm_delete.c)
  set_tests_properties(WindowE2E.DragThenCloseButtonAndSigintUnderXvfb PROPERTIES
    LABELS "window;e2e" RUN_SERIAL ON SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
