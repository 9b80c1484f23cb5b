# WinMM wave audio over SDL2.
list(APPEND QM_PLATFORM_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/sdl_wave.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/sound_server.cpp)
