; The Windows installer, built on Linux by makensis (Debian's nsis) from
; what "cmake --install" puts into one folder: the target 'installer' of a
; Windows build (cmake/install.cmake) passes VERSION, STAGE (that folder)
; and OUTFILE.
;
; It installs into Program Files (or the folder given), which only SYSTEM
; and Administrators may change, and, when given options, installs the
; service vantry_remote with them (vantry_remote /i vantry OPTIONS). The
; options come from a page with a text field, or in silent mode from
; /SERVICEARGS=OPTIONS, the last option (before /D=, which NSIS wants last):
; everything after the "=" is the tap's options, in quotes or not. Without
; /SERVICEARGS no service is installed.
;   vantry-VERSION-win64-setup.exe /S /SERVICEARGS=-t 37008 -c 10.0.0.1:1234 -k KEY
; The uninstaller removes the service (vantry_remote /r) before the files.

Unicode true
Target amd64-unicode
!include MUI2.nsh
!include nsDialogs.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include x64.nsh
!include StrFunc.nsh
${StrStr}

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantry"

Name "Vantry remote tap ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vantry"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show

Var service_args
Var service_field

!insertmacro MUI_PAGE_DIRECTORY
Page custom service_page service_page_leave
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  SetRegView 64
  ${GetParameters} $0
  ${StrStr} $1 $0 "/SERVICEARGS="
  ${If} $1 == ""
    Return
  ${EndIf}
  ; The character before the option: a quote when the whole option was
  ; quoted ("/SERVICEARGS=-t 37008 ..."), which then ends the value too.
  StrLen $2 $0
  StrLen $3 $1
  IntOp $2 $2 - $3
  IntOp $2 $2 - 1
  StrCpy $4 ""
  ${If} $2 >= 0
    StrCpy $4 $0 1 $2
  ${EndIf}
  StrCpy $1 $1 "" 13
  trim:
    StrCpy $5 $1 1 -1
    ${If} $5 == " "
      StrCpy $1 $1 -1
      Goto trim
    ${EndIf}
  ${If} $4 == '"'
  ${AndIf} $5 == '"'
    StrCpy $1 $1 -1
  ${EndIf}
  StrCpy $5 $1 1
  StrCpy $6 $1 1 -1
  ${If} $5 == '"'
  ${AndIf} $6 == '"'
    StrCpy $1 $1 -1 1
  ${EndIf}
  StrCpy $service_args $1
FunctionEnd

Function service_page
  !insertmacro MUI_HEADER_TEXT "Service" "Run the tap as the Windows service vantry_remote"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 48u "The tap's options, as after vantry_remote /c (for example: -i 1 -c 192.168.0.10:1234 -k KEY). The service starts at boot; start it now with: net start vantry_remote. Leave the field empty to install no service. Npcap must be installed for interface capture."
  Pop $0
  ${NSD_CreateText} 0 52u 100% 12u $service_args
  Pop $service_field
  nsDialogs::Show
FunctionEnd

Function service_page_leave
  ${NSD_GetText} $service_field $service_args
FunctionEnd

; Runs icacls with the arguments given; stops the installation, status 2,
; when it fails: a folder that users may write in would let them replace
; what the service runs as LocalSystem.
!macro icacls ARGS
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" ${ARGS}'
  Pop $0
  ${If} $0 != 0
    SetErrorLevel 2
    MessageBox MB_ICONSTOP "Could not restrict access to $INSTDIR (icacls ended with $0). Nothing more is installed: choose a folder on an NTFS disk, as an administrator." /SD IDOK
    Abort
  ${EndIf}
!macroend

Section "Vantry"
  SetRegView 64
  SetOutPath "$INSTDIR"
  ; Whatever the folder (Program Files, /D=, a folder chosen on the
  ; directory page), before anything is put in it: SYSTEM and
  ; Administrators may change it, Users may read and run, nothing is
  ; inherited from the parent, and entries set on it or its files before
  ; are gone (/reset). By well-known SIDs, which every language of Windows
  ; reads alike.
  !insertmacro icacls '"$INSTDIR" /reset /T /C /Q'
  !insertmacro icacls '"$INSTDIR" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX /Q'
  File "${STAGE}\vantry_remote.exe"
  File "${STAGE}\vantry_collector.exe"
  File "${STAGE}\README-windows.txt"
  File "${STAGE}\vantry_remote.conf"
  ; The configuration may hold the key, and the key file it names lies
  ; beside it: SYSTEM and Administrators only.
  !insertmacro icacls '"$INSTDIR\vantry_remote.conf" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F /Q'
  ${If} ${FileExists} "$INSTDIR\vantry_remote.key"
    !insertmacro icacls '"$INSTDIR\vantry_remote.key" /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F /Q'
  ${EndIf}
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Vantry remote tap"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Vantry developers"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} $service_args != ""
    DetailPrint "vantry_remote /i vantry $service_args"
    nsExec::ExecToLog '"$INSTDIR\vantry_remote.exe" /i vantry $service_args'
    Pop $0
  ${EndIf}
SectionEnd

Section "Uninstall"
  SetRegView 64
  ; Stops the service if it runs, then removes it; says so when there is none.
  nsExec::ExecToLog '"$INSTDIR\vantry_remote.exe" /r vantry'
  Pop $0
  Delete "$INSTDIR\vantry_remote.exe"
  Delete "$INSTDIR\vantry_collector.exe"
  Delete "$INSTDIR\README-windows.txt"
  Delete "$INSTDIR\vantry_remote.conf"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
