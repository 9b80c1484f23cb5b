# qm_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENV VAR=value ...] [TIMEOUT s] [SERIAL])
# SERIAL: the tests depend on real-time pacing and run alone.
# Builds a GoogleTest executable and registers each of its tests with CTest.
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
  # One CTest test per TEST/TEST_F found in the sources; runs through the
  # cross-compiling emulator (Wine) when there is one.
  gtest_add_tests(TARGET ${name} SOURCES ${T_SOURCES} TEST_LIST tests)
  set_tests_properties(${tests} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${tests} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
  if(T_SERIAL)
    set_tests_properties(${tests} PROPERTIES RUN_SERIAL ON)
  endif()
endfunction()
