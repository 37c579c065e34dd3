; The QuorVPN installer and uninstaller, built by makensis (scripts/package.sh):
;   makensis -DVERSION=6.0.8 -DSOURCE=<bin folder> -DICON=<quorvpn.ico> -DOUTFILE=<setup.exe> quorvpn.nsi
;
; Installer switches (besides NSIS's /S and /D=):
;   /AUTOSTART=1|0   register or leave auto-start (default: 1 on a first
;                    install; an upgrade keeps what the person chose)
;   /SERVICE=1|0     install the stand-in tunnel service (default: 0, or what
;                    the previous installation had)
;   /RESTART         start the client when done (the updater passes it)
; Uninstaller switch:
;   /REMOVEDATA      also remove settings, logs and local storage
;
; Exit codes: 0 done; 1 cancelled or failed, the previous installation left
; as it was; 2 aborted by the script (running client, folder in use).

Unicode true
ManifestDPIAware true
RequestExecutionLevel admin
SetCompressor /SOLID lzma
CRCCheck force

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh

!define PRODUCT "QuorVPN"
!define PUBLISHER "QuorVPN"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuorVPN"
!define SERVICE_NAME "QuorTunnel"
!ifndef VERSION_QUAD
  !define VERSION_QUAD "${VERSION}.0"
!endif

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
; A 32-bit installer's $PROGRAMFILES is "Program Files (x86)" on 64-bit
; Windows, which is where the 32-bit client belongs.
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show
AllowSkipFiles off

VIProductVersion "${VERSION_QUAD}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_FINISHPAGE_RUN "$INSTDIR\QuorVPN.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start QuorVPN now"
!define MUI_COMPONENTSPAGE_NODESC

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

Var Previous        ; the folder of an installation found, or empty
Var Restart         ; "1" with /RESTART
Var ServiceWas      ; "1" when the previous installation had the service

; Asks this user's running client to quit and waits for it (the client's own
; --quit-running, app/setup_command.h). A copy from this package does the
; asking, so that an older installed client that lacks the switch is asked
; all the same.
!macro QuitRunningClient EXE
  StrCpy $0 0
  ; A folder without its client (damaged by hand) has nothing to ask.
  ${If} ${FileExists} "${EXE}"
    ExecWait '"${EXE}" --quit-running' $0
  ${EndIf}
  ${If} $0 != 0
    MessageBox MB_OK|MB_ICONSTOP "QuorVPN is still running and did not quit. Close it and run setup again." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
!macroend


; Never a folder a standard user can change: the elevated client, its log-on
; task and the DLLs it loads from beside itself are only as safe as this
; folder. Below Program Files the system's own access list holds.
Function UnderProgramFiles
  StrLen $R1 "$PROGRAMFILES\"
  StrCpy $R2 $INSTDIR $R1
  StrCpy $R3 "1"
  ${If} $R2 != "$PROGRAMFILES\"
    StrCpy $R3 "0"
  ${EndIf}
FunctionEnd

Function .onVerifyInstDir
  Call UnderProgramFiles
  ${If} $R3 != "1"
    Abort
  ${EndIf}
FunctionEnd

; $R3 is "1" when no file of the program folder and its "bin" folder is
; open without sharing its writing: a running program's image never is, on
; Windows or under Wine.
Function FilesAreFree
  StrCpy $R3 "1"
  Push "$INSTDIR"
  Call FolderFilesAreFree
  ${If} $R3 == "1"
    Push "$INSTDIR\bin"
    Call FolderFilesAreFree
  ${EndIf}
FunctionEnd

Function FolderFilesAreFree
  Exch $R7
  FindFirst $R4 $R5 "$R7\*.*"
  ${DoWhile} $R5 != ""
    ${IfNot} ${FileExists} "$R7\$R5\*.*"
      ClearErrors
      FileOpen $R6 "$R7\$R5" a
      ${If} ${Errors}
        StrCpy $R3 "0"
        DetailPrint "In use: $R7\$R5"
        ${Break}
      ${EndIf}
      FileClose $R6
    ${EndIf}
    FindNext $R4 $R5
  ${Loop}
  FindClose $R4
  Pop $R7
FunctionEnd

; A failed installation puts the previous one back as it was.
Function .onInstFailed
  ${If} ${FileExists} "$INSTDIR.previous\QuorVPN.exe"
    RMDir /r "$INSTDIR"
    Rename "$INSTDIR.previous" "$INSTDIR"
  ${EndIf}
  ${If} $ServiceWas == "1"
    ExecWait '"$INSTDIR\quortunnel.exe" install --start-type auto'
    ExecWait '"$SYSDIR\net.exe" start ${SERVICE_NAME}'
  ${EndIf}
FunctionEnd

Section "QuorVPN" SecClient
  SectionIn RO
  ; Silent /D= skips the directory page and its check.
  Call UnderProgramFiles
  ${If} $R3 != "1"
    MessageBox MB_OK|MB_ICONSTOP "QuorVPN installs only below $PROGRAMFILES." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  InitPluginsDir
  SetOutPath "$PLUGINSDIR\quit"
  File "${SOURCE}\QuorVPN.exe"
  !insertmacro QuitRunningClient "$PLUGINSDIR\quit\QuorVPN.exe"
  SetOutPath "$PLUGINSDIR"
  RMDir /r "$PLUGINSDIR\quit"

  ${If} ${FileExists} "$INSTDIR\*.*"
    ; The service runs from the folder about to move.
    ${If} $ServiceWas == "1"
      DetailPrint "Stopping the ${SERVICE_NAME} service"
      ExecWait '"$INSTDIR\quortunnel.exe" uninstall'
    ${EndIf}
    ; The old files move aside whole and come back whole on failure. A file
    ; in use (another user's client, a program started from here) stops the
    ; installer here, before anything is changed: its own check, and
    ; Windows' refusal to move a folder that has a file open in it (which
    ; Wine does not refuse).
    RMDir /r "$INSTDIR.previous"
    Call FilesAreFree
    ClearErrors
    ${If} $R3 == "1"
      Rename "$INSTDIR" "$INSTDIR.previous"
    ${Else}
      SetErrors
    ${EndIf}
    ${If} ${Errors}
      ${If} $ServiceWas == "1"
        ExecWait '"$INSTDIR\quortunnel.exe" install --start-type auto'
        ExecWait '"$SYSDIR\net.exe" start ${SERVICE_NAME}'
      ${EndIf}
      MessageBox MB_OK|MB_ICONSTOP "Files in $INSTDIR are in use. Close the programs that use them and run setup again." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${SOURCE}\QuorVPN.exe"
  File "${SOURCE}\wke.dll"
  File "${SOURCE}\sentry.dll"
  File "${SOURCE}\WinSparkle.dll"
  File /r "${SOURCE}\app"
  File /r "${SOURCE}\skin"
  SetOutPath "$INSTDIR\bin"
  File "${SOURCE}\bin\sysproxy.exe"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  CreateShortCut "$SMPROGRAMS\QuorVPN.lnk" "$INSTDIR\QuorVPN.exe" "" "$INSTDIR\QuorVPN.exe" 0

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" '"$INSTDIR\QuorVPN.exe",0'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegStr HKLM "${UNINSTALL_KEY}" "StandInService" "0"
SectionEnd

Section "Start QuorVPN when I log on" SecAutoStart
  ; The client's own registration: the same checks as its tray menu, and a
  ; log-on task that names the installed executable.
  ExecWait '"$INSTDIR\QuorVPN.exe" --autostart=on' $0
  ${If} $0 != 0
    DetailPrint "Auto-start could not be registered (see the QuorVPN log)"
  ${EndIf}
SectionEnd

Section /o "Tunnel service (stand-in)" SecService
  SetOutPath "$INSTDIR"
  File "${SOURCE}\quortunnel.exe"
  ExecWait '"$INSTDIR\quortunnel.exe" install --start-type auto' $0
  ${If} $0 != 0
    DetailPrint "The ${SERVICE_NAME} service could not be registered"
  ${Else}
    ExecWait '"$SYSDIR\net.exe" start ${SERVICE_NAME}'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "StandInService" "1"
  ${EndIf}
SectionEnd

Section "-Finish"
  ; Counted once everything is in place.
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
  RMDir /r "$INSTDIR.previous"
  ${If} $Restart == "1"
    Exec '"$INSTDIR\QuorVPN.exe"'
  ${EndIf}
SectionEnd

Function .onInit
  SetShellVarContext all
  ${GetParameters} $R0
  StrCpy $Restart "0"
  ClearErrors
  ${GetOptions} $R0 "/RESTART" $R1
  ${IfNot} ${Errors}
    StrCpy $Restart "1"
  ${EndIf}

  ReadRegStr $Previous HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ReadRegStr $ServiceWas HKLM "${UNINSTALL_KEY}" "StandInService"
  ${If} $Previous != ""
    StrCpy $INSTDIR $Previous
    ; An upgrade keeps the auto-start the person has (the client brings its
    ; log-on task up to date for its path by itself).
    !insertmacro UnselectSection ${SecAutoStart}
  ${EndIf}
  ${If} $ServiceWas == "1"
    !insertmacro SelectSection ${SecService}
  ${EndIf}

  ClearErrors
  ${GetOptions} $R0 "/AUTOSTART=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "1"
      !insertmacro SelectSection ${SecAutoStart}
    ${Else}
      !insertmacro UnselectSection ${SecAutoStart}
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/SERVICE=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == "1"
      !insertmacro SelectSection ${SecService}
    ${Else}
      !insertmacro UnselectSection ${SecService}
    ${EndIf}
  ${EndIf}
FunctionEnd

; --- Uninstaller -----------------------------------------------------------

Section "un.QuorVPN" UnSecClient
  SectionIn RO
  SetShellVarContext all
  !insertmacro QuitRunningClient "$INSTDIR\QuorVPN.exe"
  ; This user's log-on task and Run value; the client removes them as its
  ; tray menu does.
  ExecWait '"$INSTDIR\QuorVPN.exe" --autostart=off'
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "StandInService"
  ${If} $0 == "1"
    ExecWait '"$INSTDIR\quortunnel.exe" uninstall'
  ${EndIf}
  Delete "$SMPROGRAMS\QuorVPN.lnk"
  RMDir /r "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

Section /o "un.Remove settings, logs and local storage" UnSecData
  SetShellVarContext all
  ; Every user's logs, page storage, crash dumps and configs, and the
  ; service's logs, under the all-users folder.
  RMDir /r "$APPDATA\QuorVPN"
  SetShellVarContext current
  RMDir /r "$LOCALAPPDATA\QuorVPN"
  DeleteRegKey HKCU "Software\QuorVPN"
SectionEnd

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/REMOVEDATA" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UnSecData}
  ${EndIf}
FunctionEnd
