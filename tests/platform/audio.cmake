# The WinMM wave subset over SDL's disk driver. Each test gives SDL its own files in a
# private temporary folder; the ones that need real-time pacing turn it back on.
if(NOT WIN32)
  qm_add_gtest(test_wave
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/wave_test.cpp
    LIBS qm_platform
    LABELS audio
    ENV SDL_AUDIODRIVER=disk SDL_DISKAUDIODELAY=0
    TIMEOUT 120)
endif()
# Devices with no sound server, or one still setting up (a private PulseAudio daemon).
if(NOT WIN32)
  qm_add_gtest(test_sound_server
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/sound_server_test.cpp
    LIBS qm_platform
    LABELS audio
    TIMEOUT 120)
endif()
