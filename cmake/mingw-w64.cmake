# Cross build for 64-bit Windows with MinGW-w64 (Debian's x86_64-w64-mingw32 packages).
#   cmake --preset windows   (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake)
# Programs built here run under Wine through CMAKE_CROSSCOMPILING_EMULATOR, with a
# Wine prefix inside the build folder so nothing lands in ~/.wine.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QM_MINGW_TRIPLE x86_64-w64-mingw32)
# The -posix thread model: std::thread, std::mutex and GoogleTest need it.
find_program(CMAKE_C_COMPILER NAMES ${QM_MINGW_TRIPLE}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QM_MINGW_TRIPLE}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must not hand the host's libraries to the cross build.
set(ENV{PKG_CONFIG_LIBDIR} "${CMAKE_FIND_ROOT_PATH}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# Static runtime: without it the programs exit with code 53 under Wine (DLLs not found).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(QM_WINE NAMES wine wine64)
if(QM_WINE)
  set(QM_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix of this build")
  # Through a wrapper that makes again a start Wine failed before the program ran.
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${QM_WINEPREFIX} WINEDEBUG=-all
      WINEDLLOVERRIDES=winemenubuilder.exe=d ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run.sh ${QM_WINE})
endif()

# Tools and benchmarks need host libraries (libsndfile, libsamplerate, FFTW) that the
# Windows build does without; ask for them explicitly if you have cross-built ones.
set(QM_BUILD_TOOLS OFF CACHE BOOL "Build the tools (offline renderer, picture generator)")
set(QM_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")

# Boost is header-only for us: a folder holding just a link to the host's boost/
# (putting /usr/include itself on the path would pull in glibc's headers).
if(NOT TARGET Boost::headers AND EXISTS /usr/include/boost/version.hpp)
  set(_qm_boost_dir "${CMAKE_BINARY_DIR}/qm-boost-include")
  if(NOT EXISTS "${_qm_boost_dir}/boost")
    file(MAKE_DIRECTORY "${_qm_boost_dir}")
    file(CREATE_LINK /usr/include/boost "${_qm_boost_dir}/boost" SYMBOLIC)
  endif()
  # Read during project(); the top-level CMakeLists then skips find_package(Boost).
  get_property(_qm_in_try_compile GLOBAL PROPERTY IN_TRY_COMPILE)
  if(NOT _qm_in_try_compile)
    add_library(Boost::headers INTERFACE IMPORTED)
    set_target_properties(Boost::headers PROPERTIES
      INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${_qm_boost_dir}"
      INTERFACE_INCLUDE_DIRECTORIES "${_qm_boost_dir}")
  endif()
endif()
