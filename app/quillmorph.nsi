; The Windows installer, built by script/build-windows:
;   makensis -DVERSION=x.y.z -DSTAGE=DIR -DOUTFILE=FILE app/quillmorph.nsi
; STAGE is the flat folder `cmake --install` makes of the Windows build; it also
; holds files.nsh and unfiles.nsh, the File and Delete lines for each of its files,
; so the installer follows the install rules and the uninstaller removes just those.
; /S installs (and uninstall.exe /S removes) without a window.
Unicode true
; A 64-bit installer for a 64-bit program: Program Files and the registry's own view.
Target amd64-unicode
SetCompressor /SOLID lzma
!include "LogicLib.nsh"

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillmorph"

Name "Quillmorph ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Quillmorph"
InstallDirRegKey HKLM "${UNINST_KEY}" "InstallLocation"
RequestExecutionLevel admin
VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "Quillmorph"
VIAddVersionKey "FileDescription" "Quillmorph setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Quillmorph developers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetShellVarContext all
  ClearErrors
  SetOutPath "$INSTDIR"
  !include "${STAGE}/files.nsh"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; The shortcut's working folder is $OUTDIR: the program reads back.bmp from it.
  CreateShortCut "$SMPROGRAMS\Quillmorph.lnk" "$INSTDIR\quillmorph.exe" "" "$INSTDIR\quillmorph.exe" 0 \
    SW_SHOWNORMAL "" "Real-time voice changer"
  ${If} ${Errors}
    Abort "Quillmorph could not be installed in $INSTDIR."
  ${EndIf}

  WriteRegStr HKLM "${UNINST_KEY}" "DisplayName" "Quillmorph"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINST_KEY}" "Publisher" "Quillmorph developers"
  WriteRegStr HKLM "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\quillmorph.exe"
  WriteRegStr HKLM "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINST_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  SetShellVarContext all
  Delete "$SMPROGRAMS\Quillmorph.lnk"
  !include "${STAGE}/unfiles.nsh"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: files the user put in the folder stay, and so does the folder then.
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
