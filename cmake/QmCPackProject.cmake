# Read by cpack once per generator. The tarball is staged under the build folder but
# used where it is unpacked, so its desktop entry points at QM_TARBALL_PREFIX.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(ENV{QM_DESKTOP_PREFIX} "${CPACK_QM_TARBALL_PREFIX}")
else()
  unset(ENV{QM_DESKTOP_PREFIX})
endif()
