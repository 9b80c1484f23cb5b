# SAudioIO through the platform layer on SDL's disk driver; each test gives SDL its own
# files in a private temporary folder.
# Only over the SDL backend (they drive SDL's disk driver); tests/windows runs the
# stream on the real WinMM.
if(NOT WIN32)
qm_add_gtest(test_audio_stream
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_stream_test.cpp
  LIBS qm_framework
  LABELS audio
  ENV SDL_AUDIODRIVER=disk SDL_DISKAUDIODELAY=0
  TIMEOUT 120)

# Real-time pacing: sample-exact pass-through and underruns need the CPU to themselves.
qm_add_gtest(test_audio_stream_paced SERIAL
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_stream_paced_test.cpp
  LIBS qm_framework
  LABELS audio
  ENV SDL_AUDIODRIVER=disk
  TIMEOUT 180)

qm_add_gtest(test_audio_stress SERIAL
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_stress_test.cpp
  LIBS qm_framework
  LABELS audio concurrency
  ENV SDL_AUDIODRIVER=disk
  TIMEOUT 600)
endif()

# Not a test: the pass-through program bench/latency measures.
add_executable(latency_passthrough ${CMAKE_CURRENT_SOURCE_DIR}/latency_passthrough.cpp)
target_link_libraries(latency_passthrough PRIVATE qm_framework)

# The stream's delay control over simulated devices in simulated time: no real clock, so
# it holds on a loaded machine. Links the stream without the platform's wave layer.
# Single-threaded, so not among the thread-sanitized suites (it runs hours of sound).
if(NOT WIN32)
qm_add_gtest(test_audio_stream_sim
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/audio_stream_sim_test.cpp
          ${CMAKE_CURRENT_SOURCE_DIR}/SimWave.cpp
          ${PROJECT_SOURCE_DIR}/framework/SAudioIO.cpp
  LABELS stream-sim
  TIMEOUT 600)
endif()
