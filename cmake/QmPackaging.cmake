# Desktop integration and packages for Linux: `cmake --install` puts a desktop entry,
# its AppStream metainfo, the icon and the virtual-microphone helper beside the
# program (app/CMakeLists.txt);
# CPack makes a .deb and a .tar.gz of that tree (script/package).
# On Windows the tree is one flat folder; CPack zips it and script/build-windows
# makes the installer (app/quillmorph.nsi) from the same tree.
if(WIN32)
  # Notepad of older Windows shows LF-only text as one line.
  file(READ ${PROJECT_SOURCE_DIR}/app/README-windows.txt qm_readme)
  string(REPLACE "\n" "\r\n" qm_readme "${qm_readme}")
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/README.txt "${qm_readme}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/app/README-windows.txt)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt DESTINATION .)

  set(CPACK_PACKAGE_NAME quillmorph)
  set(CPACK_PACKAGE_VENDOR "Quillmorph developers")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SOURCE_GENERATOR "")
  set(CPACK_PACKAGE_FILE_NAME quillmorph-windows)
  # The files at the top of the zip, as before: unpacked, they are the folder.
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  include(CPack)
  return()
endif()
include(GNUInstallDirs)

set(QM_PACKAGE_MAINTAINER "Quillmorph developers <quillmorph@localhost>" CACHE STRING
    "Maintainer field of the Debian package: 'Name <address>'")
set(QM_TARBALL_PREFIX "/usr/local" CACHE PATH
    "Where the .tar.gz is meant to be unpacked; its desktop entry points there")
set(QM_SCREENSHOT_URL "" CACHE STRING
    "http(s) address of docs/screenshot.png as published, for the AppStream listing; empty: no screenshot in it")
set(QM_PROJECT_LICENSE "" CACHE STRING
    "SPDX expression of the program's licence, for the AppStream listing; empty: the listing names none")

# One ID names the desktop entry and the AppStream component, as software centres
# expect; it is permanent, so it never follows the version or the build.
set(QM_APP_ID org.quillmorph.Quillmorph)
set(QM_METAINFO_IN ${PROJECT_SOURCE_DIR}/app/${QM_APP_ID}.metainfo.xml.in)
set(QM_METAINFO_OUT ${CMAKE_CURRENT_BINARY_DIR}/${QM_APP_ID}.metainfo.xml)
include(QmMetainfo)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QM_METAINFO_IN})
if(QM_SCREENSHOT_URL STREQUAL "")
  message(STATUS "Quillmorph: AppStream listing without a screenshot (set QM_SCREENSHOT_URL to its published address)")
endif()
install(FILES ${QM_METAINFO_OUT} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The desktop entry names absolute paths, so it is written at install time, for the
# prefix the tree is installed at: `cmake --install --prefix` and CPack's /usr alike.
# QM_DESKTOP_PREFIX in the environment overrides it for trees that are staged in one
# place and used in another (the tarball).
set(QM_DESKTOP_ENTRY ${CMAKE_CURRENT_BINARY_DIR}/${QM_APP_ID}.desktop)
install(CODE "
  set(QM_DESKTOP_IN \"${CMAKE_CURRENT_SOURCE_DIR}/app/${QM_APP_ID}.desktop.in\")
  set(QM_DESKTOP_OUT \"${QM_DESKTOP_ENTRY}\")
  set(QM_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(QM_DATADIR \"${CMAKE_INSTALL_DATADIR}\")
  include(\"${CMAKE_CURRENT_LIST_DIR}/QmDesktopEntry.cmake\")")
install(FILES ${QM_DESKTOP_ENTRY} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/app/quillmorph.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(PROGRAMS ${PROJECT_SOURCE_DIR}/script/virtual-mic DESTINATION ${CMAKE_INSTALL_BINDIR} RENAME quillmorph-virtual-mic)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillmorph)

set(CPACK_PACKAGE_NAME quillmorph)
set(CPACK_PACKAGE_VENDOR "Quillmorph developers")
set(CPACK_PACKAGE_CONTACT "${QM_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Real-time voice changer: pitch and formants steered on a pad")
# Debian wraps nothing: the lines stay under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Quillmorph records the microphone, shifts the pitch and the formants of the"
  "voice block by block, and plays the result on the default output. Dragging a"
  "crosshair on a pad steers it: up and down is pitch, two octaves either way;"
  "left and right is the formant scale, from silence to twice as high."
  "quillmorph-virtual-mic routes the changed voice into a Quillmorph-Mic"
  "microphone for calls (PulseAudio, or PipeWire's PulseAudio server).")
set(CPACK_GENERATOR "DEB;TGZ")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_GENERATOR "")

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QM_PACKAGE_MAINTAINER}")
# CPack asks dpkg, which names the build machine's architecture, not a cross build's.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The virtual microphone needs pactl; the program itself does not.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pulseaudio-utils")
find_program(QM_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QM_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  message(STATUS "dpkg-shlibdeps not found (dpkg-dev): the .deb names its dependencies by hand")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, libsdl2-2.0-0")
endif()

set(CPACK_QM_TARBALL_PREFIX "${QM_TARBALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/QmCPackProject.cmake)
include(CPack)
