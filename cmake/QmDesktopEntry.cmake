# Run at install time (cmake/QmPackaging.cmake): writes QM_DESKTOP_OUT from
# QM_DESKTOP_IN for the prefix being installed to, or for QM_DESKTOP_PREFIX from the
# environment when the tree is staged in one place and used in another.
set(qm_prefix "${CMAKE_INSTALL_PREFIX}")
if(NOT "$ENV{QM_DESKTOP_PREFIX}" STREQUAL "")
  set(qm_prefix "$ENV{QM_DESKTOP_PREFIX}")
endif()
foreach(dir QM_BINDIR QM_DATADIR)
  if(NOT IS_ABSOLUTE "${${dir}}")
    set(${dir} "${qm_prefix}/${${dir}}")
  endif()
endforeach()
# Exec quotes a path holding spaces; Path is a plain string value.
set(QM_EXEC "${QM_BINDIR}/quillmorph")
if(QM_EXEC MATCHES " ")
  set(QM_EXEC "\"${QM_EXEC}\"")
endif()
set(QM_PATH "${QM_DATADIR}/quillmorph")
file(READ "${QM_DESKTOP_IN}" qm_text)
string(CONFIGURE "${qm_text}" qm_text @ONLY)
file(WRITE "${QM_DESKTOP_OUT}" "${qm_text}")
