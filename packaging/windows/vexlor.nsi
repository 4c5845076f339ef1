; The Windows installer, vexlor-VERSION-setup.exe (built by cmake/Windows.cmake with makensis).
;
; Installs the dialog program vexlor-gui.exe and the command-line tool vexlor.exe, with
; README.txt, LICENSE.txt and the time zone database (tzdata): for all users under Program Files, or, without administrator
; rights (or with /CurrentUser), for the current user under the user's local programs folder.
; A Start-menu shortcut starts the dialog; "Add vexlor to PATH" is optional. The uninstaller
; removes everything the installer put on the machine.
;
; Command line: /S silent; /AllUsers or /CurrentUser; /PATH selects "Add vexlor to PATH" (for
; silent installs). The uninstaller takes /S and the mode it was installed in.
;
; Defines given by the build: VERSION, STAGE (folder with the files to install), ICON, OUTFILE.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "Vexlor"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP}"
!define SETTINGS_KEY "Software\${APP}"
!define SYSTEM_ENVIRONMENT "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
!define USER_ENVIRONMENT "Environment"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_USE_PROGRAMFILES64
!define MULTIUSER_INSTALLMODE_INSTDIR "${APP}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_KEY "${SETTINGS_KEY}"
!define MULTIUSER_INSTALLMODE_INSTDIR_REGISTRY_VALUENAME "InstallDir"
!include MultiUser.nsh
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh

Name "${APP}"
OutFile "${OUTFILE}"
BrandingText "${APP} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${APP}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "CompanyName" "${APP}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "See LICENSE.txt"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\vexlor-gui.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start ${APP}"

!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_LICENSE "${STAGE}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The PATH value of the install mode's environment: HKLM for all users, HKCU for one user.
!macro ReadPath RESULT
  ${If} $MultiUser.InstallMode == "AllUsers"
    ReadRegStr ${RESULT} HKLM "${SYSTEM_ENVIRONMENT}" "Path"
  ${Else}
    ReadRegStr ${RESULT} HKCU "${USER_ENVIRONMENT}" "Path"
  ${EndIf}
!macroend
!macro WritePath VALUE
  ${If} $MultiUser.InstallMode == "AllUsers"
    WriteRegExpandStr HKLM "${SYSTEM_ENVIRONMENT}" "Path" "${VALUE}"
  ${Else}
    WriteRegExpandStr HKCU "${USER_ENVIRONMENT}" "Path" "${VALUE}"
  ${EndIf}
  SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
!macroend

; $R0 = the current PATH, and $R1 = "ok" when it may be rewritten: a value longer than this
; installer's strings (NSIS_MAX_STRLEN) reads as an error and would be cut short, so it is
; left alone. A missing value is an empty PATH.
!macro PathForChange UN
  Function ${UN}PathForChange
    StrCpy $R1 "ok"
    ClearErrors
    !insertmacro ReadPath $R0
    ${If} ${Errors}
      StrCpy $R0 ""
      ; Missing, or too long to read: only a missing value may be written.
      StrCpy $R2 0
      ${Do}
        ${If} $MultiUser.InstallMode == "AllUsers"
          EnumRegValue $R3 HKLM "${SYSTEM_ENVIRONMENT}" $R2
        ${Else}
          EnumRegValue $R3 HKCU "${USER_ENVIRONMENT}" $R2
        ${EndIf}
        ${If} $R3 == ""
          ${Break}
        ${EndIf}
        ${If} $R3 == "Path"
          StrCpy $R1 "too long"
          ${Break}
        ${EndIf}
        IntOp $R2 $R2 + 1
      ${Loop}
    ${EndIf}
    StrLen $R2 $R0
    StrLen $R3 $INSTDIR
    IntOp $R2 $R2 + $R3
    ${If} $R2 >= ${NSIS_MAX_STRLEN}
      StrCpy $R1 "too long"
    ${EndIf}
  FunctionEnd
!macroend
!insertmacro PathForChange ""
!insertmacro PathForChange "un."

Section "${APP}" SecProgram
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}\vexlor-gui.exe"
  File "${STAGE}\vexlor.exe"
  File "${STAGE}\README.txt"
  File "${STAGE}\LICENSE.txt"
  ; The time zone database of --recorder-zone.
  File /r "${STAGE}\tzdata"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateShortcut "$SMPROGRAMS\${APP}.lnk" "$INSTDIR\vexlor-gui.exe"

  WriteRegStr SHCTX "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${APP} ${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${APP}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\vexlor-gui.exe"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" \
    '"$INSTDIR\Uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" \
    '"$INSTDIR\Uninstall.exe" /S /$MultiUser.InstallMode'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "Add vexlor to PATH" SecPath
  Call PathForChange
  ${If} $R1 != "ok"
    DetailPrint "PATH is too long to be changed safely; it is left as it was."
    Return
  ${EndIf}
  ${If} $R0 == ""
    StrCpy $R2 "$INSTDIR"
  ${Else}
    ${WordAdd} "$R0" ";" "+$INSTDIR" $R2
  ${EndIf}
  !insertmacro WritePath "$R2"
  ; Only what this installer added is taken out again.
  WriteRegDWORD SHCTX "${SETTINGS_KEY}" "AddedToPath" 1
SectionEnd

Function .onInit
  !insertmacro MULTIUSER_INIT
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} "$0" "/PATH" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SecPath} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Uninstall"
  ClearErrors
  ReadRegDWORD $0 SHCTX "${SETTINGS_KEY}" "AddedToPath"
  ${If} $0 == 1
    Call un.PathForChange
    ${If} $R1 == "ok"
      ${If} $R0 == $INSTDIR
        StrCpy $R2 ""
      ${Else}
        ${WordAdd} "$R0" ";" "-$INSTDIR" $R2
      ${EndIf}
      !insertmacro WritePath "$R2"
    ${EndIf}
  ${EndIf}

  Delete "$SMPROGRAMS\${APP}.lnk"
  Delete "$INSTDIR\vexlor-gui.exe"
  Delete "$INSTDIR\vexlor.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\LICENSE.txt"
  RMDir /r "$INSTDIR\tzdata"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"

  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  DeleteRegKey SHCTX "${SETTINGS_KEY}"
SectionEnd
