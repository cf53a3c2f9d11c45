; The Windows installer: per user, no administrator rights, into the user's own programs
; folder, where the program may write its settings beside itself as it wants to.
; scripts/package builds it: makensis -INPUTCHARSET UTF8 -DVERSION=... -DSTAGE=<folder of
; the programs and the guide> -DOUTFILE=<setup.exe> packaging/windows/qalmor.nsi

Unicode true
; The programs are x86-64 only; a 64-bit installer sees the registry as they do.
Target amd64-unicode
SetCompressor /SOLID lzma
; The files keep the times of the staged copies (SOURCE_DATE_EPOCH), not of the build.
SetDateSave on

!include "MUI2.nsh"

!define PRODUCT "QALMOR link"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=0 "LegalCopyright" "QALMOR"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\qalmor.exe"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "Russian"
!insertmacro MUI_LANGUAGE "English"

LangString SectionProgram ${LANG_RUSSIAN} "Программа"
LangString SectionProgram ${LANG_ENGLISH} "The program"
LangString SectionAutostart ${LANG_RUSSIAN} "Запускать при входе в Windows"
LangString SectionAutostart ${LANG_ENGLISH} "Start when I sign in to Windows"

Section "!$(SectionProgram)" SecProgram
    SectionIn RO
    ; The shortcut's working folder is the output folder: the program reads its settings
    ; from the folder it starts in.
    SetOutPath "$INSTDIR"
    File "${STAGE}\qalmor.exe"
    File "${STAGE}\qalmor-service.exe"
    File "${STAGE}\qalmor-sim.exe"
    File "${STAGE}\README.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}.lnk" "$INSTDIR\qalmor.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "QALMOR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\qalmor.exe"
    WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; The same per-user Run value the program's own menu item writes and checks: named for
; the folder ("QALMOR link <folder>"), so that copies in two folders each have their own.
Section "$(SectionAutostart)" SecAutostart
    WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT} $INSTDIR" '"$INSTDIR\qalmor.exe" --minimized'
SectionEnd

; The programs, the guide, the shortcut and the Run value go; the settings files
; (*.ini, allow.list), the client log and the service log stay, and with them the folder.
Section "Uninstall"
    Delete "$INSTDIR\qalmor.exe"
    Delete "$INSTDIR\qalmor-service.exe"
    Delete "$INSTDIR\qalmor-sim.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\${PRODUCT}.lnk"
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT} $INSTDIR"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
