# Full-duplex audio stream over the WinMM wave API.
list(APPEND QM_FRAMEWORK_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/SAudioIO.cpp)
