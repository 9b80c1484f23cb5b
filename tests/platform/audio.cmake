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
if(NOT WIN32 AND QM_SANITIZE STREQUAL "thread")
  # Through SDL's real PulseAudio backend: its threads and the client library's are not
  # instrumented, so their own handoffs read as races. The no-server test still runs.
  set_tests_properties(PulseRig.DevicesOpenedWhileTheServerSetsUpComeUpOnceItHasDevices
                       PROPERTIES LABELS "audio;nosan")
endif()
if(NOT WIN32 AND QM_SANITIZE STREQUAL "address")
  set_tests_properties(PulseRig.DevicesOpenedWhileTheServerSetsUpComeUpOnceItHasDevices PROPERTIES
                       ENVIRONMENT "ASAN_OPTIONS=fast_unwind_on_malloc=0;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/sdl_pulse.lsan")
endif()
