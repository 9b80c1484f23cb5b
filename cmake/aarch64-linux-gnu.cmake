# Cross build for 64-bit ARM Linux with Debian's cross compiler and the arm64 libraries
# of Debian multiarch (dpkg --add-architecture arm64; libsdl2-dev:arm64).
#   cmake --preset arm64
# Programs built here run under qemu-user through CMAKE_CROSSCOMPILING_EMULATOR.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(QM_CROSS_TRIPLE aarch64-linux-gnu)
find_program(CMAKE_C_COMPILER NAMES ${QM_CROSS_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QM_CROSS_TRIPLE}-g++ REQUIRED)

# Multiarch: the arm64 libraries sit in the host's /usr/lib/aarch64-linux-gnu, which the
# compiler's library architecture selects; the cross C library in /usr/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/${QM_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
set(CMAKE_LIBRARY_ARCHITECTURE ${QM_CROSS_TRIPLE})

# pkg-config must hand out the arm64 libraries, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${QM_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

find_program(QM_QEMU_AARCH64 NAMES qemu-aarch64 qemu-aarch64-static)
if(QM_QEMU_AARCH64)
  # binfmt may not be registered (containers): qemu is named. The loader must come from
  # the same C library as the libc the arm64 SDL2 brings (multiarch, under /): the cross
  # toolchain's own copy in /usr/aarch64-linux-gnu is another build, and with the two
  # mixed every program hangs in its first pthread_create.
  if(EXISTS /lib/ld-linux-aarch64.so.1)
    set(QM_QEMU_ROOT /)
  else()
    set(QM_QEMU_ROOT /usr/${QM_CROSS_TRIPLE})
  endif()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QM_QEMU_AARCH64} -L ${QM_QEMU_ROOT})
endif()

# The tools and benchmarks need arm64 builds of libsndfile, libsamplerate, FFTW and
# Google Benchmark; the fuzzer needs clang's libFuzzer. Ask for them explicitly.
set(QM_BUILD_TOOLS OFF CACHE BOOL "Build the tools (offline renderer, picture generator)")
set(QM_BUILD_BENCH OFF CACHE BOOL "Build the benchmarks")
set(QM_BUILD_FUZZ OFF CACHE BOOL "Build the picture-loader fuzzer")
