# qm_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENV VAR=value ...] [TIMEOUT s] [SERIAL])
# SERIAL: the tests depend on real-time pacing and run alone.
# Builds a GoogleTest executable and registers its tests with CTest. Tests are
# listed when ctest runs (PRE_TEST), which also works through a cross-compiling
# emulator (Wine).
include(GoogleTest)

if(NOT TARGET GTest::gtest_main)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND)
    # Debian ships the sources; the cross build always takes this path.
    if(EXISTS /usr/src/googletest/CMakeLists.txt)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
      # Recent GoogleTest sources define the GTest:: aliases themselves.
      foreach(lib gtest gtest_main gmock)
        if(NOT TARGET GTest::${lib})
          add_library(GTest::${lib} ALIAS ${lib})
        endif()
      endforeach()
    else()
      message(FATAL_ERROR "GoogleTest not found: run script/bootstrap")
    endif()
  endif()
endif()

function(qm_add_gtest name)
  cmake_parse_arguments(T "SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE qm_root GTest::gtest_main ${T_LIBS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL ON)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES ${props})
endfunction()
