# Window classes, canvas, window class and message loop.
list(APPEND QM_FRAMEWORK_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/SWindow.cpp
  ${CMAKE_CURRENT_LIST_DIR}/SCanvas.cpp
  ${CMAKE_CURRENT_LIST_DIR}/WindowClass.cpp)
