# Window, message, drawing and picture half of the SDL2 backend.
list(APPEND QM_PLATFORM_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/sdl_window.cpp
  ${CMAKE_CURRENT_LIST_DIR}/sdl_gdi.cpp)
