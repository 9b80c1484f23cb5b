# qm_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENV VAR=value ...] [TIMEOUT s] [SERIAL])
# SERIAL: the tests depend on real-time pacing and run alone.
# Builds a GoogleTest executable and registers each of its tests with CTest.
include(GoogleTest)

# Sets QM_GTEST_FOUND. GoogleTest comes from its CMake package or, failing that, from
# the sources Debian ships (the cross build always takes that path). Disabling the
# package (-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON) disables both.
set(QM_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build when its package is missing")
if(NOT TARGET GTest::gtest_main)
  find_package(GTest QUIET)
  if(NOT GTest_FOUND AND NOT CMAKE_DISABLE_FIND_PACKAGE_GTest AND EXISTS ${QM_GTEST_SOURCE_DIR}/CMakeLists.txt)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
    add_subdirectory(${QM_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Recent GoogleTest sources define the GTest:: aliases themselves.
    foreach(lib gtest gtest_main gmock)
      if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
      endif()
    endforeach()
  endif()
endif()
if(TARGET GTest::gtest_main)
  set(QM_GTEST_FOUND TRUE)
else()
  set(QM_GTEST_FOUND FALSE)
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
