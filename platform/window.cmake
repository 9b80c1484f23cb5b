# The SDL2 backend except wave audio, one file per Win32 area: messages and the queue,
# windows and geometry and capture, shell drops, text conversion, drawing, pictures.
list(APPEND QM_PLATFORM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/sdl_messages.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_shell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/utf8.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_gdi.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_picture.cpp)
# Seams for the tests only (pushed input, a failing GetMessageW, a chosen screen size).
set(QM_PLATFORM_TESTING_SOURCES ${CMAKE_CURRENT_LIST_DIR}/sdl_testing.cpp)
