# Writes the AppStream metainfo QM_METAINFO_OUT from QM_METAINFO_IN for QM_APP_ID.
# Included by QmPackaging.cmake, or run with cmake -D... -P (the tests do, to check
# the listing with a screenshot too). AppStream takes screenshots only as web
# addresses: without QM_SCREENSHOT_URL the listing has none rather than a made-up one.
# The program's licence is its owners' choice: QM_PROJECT_LICENSE (an SPDX expression)
# names it; without it the listing names none.
set(QM_METAINFO_SCREENSHOTS "")
if(NOT "${QM_SCREENSHOT_URL}" STREQUAL "")
  if(NOT QM_SCREENSHOT_URL MATCHES "^https?://")
    message(FATAL_ERROR "QM_SCREENSHOT_URL must be an http(s) address, not '${QM_SCREENSHOT_URL}'")
  endif()
  string(REPLACE "&" "&amp;" qm_url "${QM_SCREENSHOT_URL}")
  string(REPLACE "<" "&lt;" qm_url "${qm_url}")
  string(JOIN "\n" QM_METAINFO_SCREENSHOTS
    "  <screenshots>"
    "    <screenshot type=\"default\">"
    "      <caption>The pad, with the crosshair at its centre: the voice as it is</caption>"
    "      <image>${qm_url}</image>"
    "    </screenshot>"
    "  </screenshots>"
    "")
endif()
set(QM_METAINFO_LICENSE "")
if(NOT "${QM_PROJECT_LICENSE}" STREQUAL "")
  if(NOT QM_PROJECT_LICENSE MATCHES "^[A-Za-z0-9.+() -]+$")
    message(FATAL_ERROR "QM_PROJECT_LICENSE must be an SPDX expression, not '${QM_PROJECT_LICENSE}'")
  endif()
  set(QM_METAINFO_LICENSE "  <project_license>${QM_PROJECT_LICENSE}</project_license>\n")
endif()
file(READ "${QM_METAINFO_IN}" qm_text)
string(CONFIGURE "${qm_text}" qm_text @ONLY)
file(WRITE "${QM_METAINFO_OUT}" "${qm_text}")
