; The Windows installer of Ferrolink, built from the program folder of the
; Windows build (cmake/windows.cmake runs it as the target
; ferro_windows_setup):
;
;   makensis -DVERSION=1.0.0 -DFILE_VERSION=1.0.0.0 -DDIST=$PWD/build-windows/dist \
;            -DOUTFILE=$PWD/build-windows/ferrolink-1.0.0-setup.exe installer/ferrolink.nsi
;
; (absolute paths: makensis reads relative ones from this file's folder).
;
; It installs the programs into Program Files, a Start-menu entry for the
; loader, the uninstaller (registered with Windows' list of programs), and
; Windows Firewall rules, on private networks only, for the ports the server
; serves and receives on. Both the installer and the uninstaller run
; silently with /S.
;
; The programs are 64-bit only, and so is the installer (it cannot start on
; 32-bit Windows): its 64-bit stub sees Program Files and the registry as
; 64-bit programs do, with no redirection.

Unicode true
Target amd64-unicode
RequestExecutionLevel admin
ManifestDPIAware true
SetCompressor /SOLID lzma

!ifndef VERSION
  !error "Define VERSION, DIST and OUTFILE (see the top of this file)"
!endif
!ifndef DIST
  !error "Define VERSION, DIST and OUTFILE (see the top of this file)"
!endif
!ifndef OUTFILE
  !error "Define VERSION, DIST and OUTFILE (see the top of this file)"
!endif
!ifndef FILE_VERSION
  !define FILE_VERSION "0.0.0.0"
!endif

!define PRODUCT "Ferrolink"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"

; The firewall rules, each by its name (the uninstaller deletes by name). The
; server's web service listens on TCP 64567; the engine receives the agents'
; replies and traps on its UDP sockets: the discovery (broadcast) port 64513,
; the command (unicast) port 64514, the multicast group's port 64519, and the
; firmware transfer's port 64517, where an agent's TFTP server answers from a
; port of its own, so no reply rule of the firewall's would let it through.
; The UDP ports are those of the default base port in cfg\define.ecf (FC01);
; whoever changes it there changes this rule too. The push channel (TCP
; 64568) is loopback-only and needs no rule.
!define FW_TCP_RULE "${PRODUCT} web service (TCP 64567)"
!define FW_TCP_PORTS "64567"
!define FW_UDP_RULE "${PRODUCT} agents (UDP)"
!define FW_UDP_PORTS "64513,64514,64517,64519"

!include "MUI2.nsh"
!include "LogicLib.nsh"
!include "FileFunc.nsh"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
; A new version goes where the installed one is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${FILE_VERSION}"
VIFileVersion "${FILE_VERSION}"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} ${VERSION} setup"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PRODUCT} developers"

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Whether a firewall step failed (the installer then says so at its end).
Var FirewallFailed

; Runs netsh advfirewall firewall with ARGS; leaves its exit code
; ("error" when it could not be started) on the stack.
!macro Netsh ARGS
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall ${ARGS}'
!macroend

; Adds one inbound allow rule for Ferrolink.exe on private networks, after
; deleting any rule of the same name (netsh would add a second one).
!macro AddFirewallRule NAME PROTOCOL PORTS
  !insertmacro Netsh 'delete rule name="${NAME}"'
  Pop $0  ; "no rule matched" on a first install
  !insertmacro Netsh 'add rule name="${NAME}" dir=in action=allow protocol=${PROTOCOL} localport=${PORTS} profile=private program="$INSTDIR\Ferrolink.exe" enable=yes'
  Pop $0
  ${If} $0 == 0
    DetailPrint "Firewall: allowed ${PROTOCOL} ${PORTS} to Ferrolink.exe on private networks"
  ${Else}
    DetailPrint "Firewall: adding the rule $\"${NAME}$\" failed ($0)"
    StrCpy $FirewallFailed 1
  ${EndIf}
!macroend

!macro CheckAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Run this as an administrator: it writes to Program Files and adds firewall rules." /SD IDOK
    SetErrorLevel 740  ; ERROR_ELEVATION_REQUIRED
    Quit
  ${EndIf}
!macroend

Function .onInit
  SetRegView 64
  SetShellVarContext all
  !insertmacro CheckAdmin
FunctionEnd

; Deletes a program file, asking to close it while it runs (a running
; program's file cannot be deleted). Silently, the uninstaller gives up and
; changes nothing more (and the installer, nothing at all).
!macro DeleteProgram NAME
  ${Do}
    ClearErrors
    Delete "$INSTDIR\${NAME}"
    ${IfNot} ${FileExists} "$INSTDIR\${NAME}"
      ${Break}
    ${EndIf}
    ${IfNot} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${NAME} is running. Close ${PRODUCT} (Exit in the notification area's menu), then retry." /SD IDCANCEL IDRETRY`
      SetErrorLevel 2  ; an Abort in a section alone ends with 0
      Abort "${NAME} is running: stopped here"
    ${EndIf}
  ${Loop}
!macroend

Section "${PRODUCT}" SecMain
  SectionIn RO
  StrCpy $FirewallFailed 0

  ; A running program's file cannot be replaced: over an installed
  ; version, the programs must have ended.
  !insertmacro DeleteProgram "Ferrolink.exe"
  !insertmacro DeleteProgram "Ferroview.exe"
  !insertmacro DeleteProgram "loader.exe"

  ; The product's files only, as the zip archive holds them: nothing that a
  ; run of the build folder's programs left in dist\.
  SetOutPath "$INSTDIR"
  File "${DIST}/Ferrolink.exe"
  File "${DIST}/loader.exe"
  File "${DIST}/Ferroview.exe"
  File "${DIST}/README.txt"
  File /r "${DIST}/auto"
  SetOutPath "$INSTDIR\tools"
  File "${DIST}/tools/ecftool.exe"
  File /r "${DIST}/tools/js_client"
  ; The server rewrites its settings file at run time: an installed one is
  ; the user's, never overwritten by a new version.
  SetOutPath "$INSTDIR\cfg"
  SetOverwrite off
  File "${DIST}/cfg/define.ecf"
  SetOverwrite on

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; The loader starts the server with the program folder as its working
  ; folder (where cfg\ lies): the shortcut's "Start in" is the folder
  ; SetOutPath names.
  SetOutPath "$INSTDIR"
  CreateShortcut "${SHORTCUT}" "$INSTDIR\loader.exe" "" "$INSTDIR\loader.exe" 0 \
      SW_SHOWNORMAL "" "Find, watch and upgrade the switches and access points of your networks"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\loader.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  !insertmacro AddFirewallRule "${FW_TCP_RULE}" TCP "${FW_TCP_PORTS}"
  !insertmacro AddFirewallRule "${FW_UDP_RULE}" UDP "${FW_UDP_PORTS}"
  ; The program works without the rules on this computer; other computers'
  ; browsers and the agents' replies and traps are what a missing rule stops.
  ${If} $FirewallFailed == 1
    MessageBox MB_ICONEXCLAMATION "${PRODUCT} is installed, but the Windows Firewall rules could not be added (see the details). Allow Ferrolink.exe TCP ${FW_TCP_PORTS} and UDP ${FW_UDP_PORTS} inbound on private networks by hand." /SD IDOK
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
  !insertmacro CheckAdmin
FunctionEnd

Section "Uninstall"
  ; The server first: while it runs, its files and data are in use.
  !insertmacro DeleteProgram "Ferrolink.exe"
  !insertmacro DeleteProgram "Ferroview.exe"
  !insertmacro DeleteProgram "loader.exe"

  ; Deleted by name; a rule that is already gone is no error.
  !insertmacro Netsh 'delete rule name="${FW_TCP_RULE}"'
  Pop $0
  DetailPrint "Firewall: deleting $\"${FW_TCP_RULE}$\": $0"
  !insertmacro Netsh 'delete rule name="${FW_UDP_RULE}"'
  Pop $0
  DetailPrint "Firewall: deleting $\"${FW_UDP_RULE}$\": $0"

  Delete "${SHORTCUT}"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"

  Delete "$INSTDIR\README.txt"
  RMDir /r "$INSTDIR\auto"
  Delete "$INSTDIR\tools\ecftool.exe"
  RMDir /r "$INSTDIR\tools\js_client"
  RMDir "$INSTDIR\tools"

  ; What the programs wrote into their folder at run time: the loader's note
  ; of the folder, the server's settings (as it rewrote them), its event
  ; history, its kept watched list (and a damaged one it set aside), the
  ; firmware images uploaded to it, and the temporary files of an atomic
  ; write that a crash left. Lists saved
  ; through the save dialog are the user's files, wherever they were put:
  ; they are not touched, and a folder holding any stays.
  Delete "$INSTDIR\cfg\path.txt"
  Delete "$INSTDIR\cfg\define.ecf"
  RMDir "$INSTDIR\cfg"
  Delete "$INSTDIR\events.db"
  Delete "$INSTDIR\events.db-journal"
  Delete "$INSTDIR\events.db-wal"
  Delete "$INSTDIR\events.db-shm"
  Delete "$INSTDIR\watched.cfg"
  Delete "$INSTDIR\watched.cfg.bad"
  Delete "$INSTDIR\.watched.cfg.tmp-*"
  RMDir /r "$INSTDIR\firmware"

  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir "$INSTDIR"
  ${If} ${FileExists} "$INSTDIR\*.*"
    DetailPrint "Kept $INSTDIR: it holds files that ${PRODUCT} did not make"
  ${EndIf}
SectionEnd
