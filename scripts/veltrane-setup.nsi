; The Windows installer, compiled by scripts/package-windows with Debian's makensis:
;   makensis /INPUTCHARSET UTF8 /DSTAGE=<folder> /DICON=<veltrane.ico> /DOUT_FILE=<setup.exe>
;            [/DDEVELOPER_FILES=<folder>]
; STAGE holds the stripped programs, the language files and README.txt, as the zip does.
; DEVELOPER_FILES names a folder with developer-install.nsh and developer-uninstall.nsh: the
; File and Delete lines of the files for tuner developers, written by package-windows from
; the tree it gathered; with it the installer offers them as a section of their own.
;
; Per user, into %LOCALAPPDATA%\Programs\Veltrane, with its Add/Remove Programs entry in
; HKCU: the programs store their value for the current user only (HKCU), so a per-machine
; install would ask for administrator rights and give nothing for it. /S installs and
; uninstalls silently; /DEVELOPER adds the developer files to a silent install.
;
; The uninstaller removes only what the installer put there, by name. It never touches
; HKCU\SOFTWARE\Ombrel's Projects: the calibration values there are what tuners read.

Unicode true
; 64-bit, as the programs it installs are: it sees the system as they do.
Target amd64-unicode
ManifestDPIAware true
RequestExecutionLevel user
SetCompressor /SOLID lzma

!define PRODUCT "Veltrane"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define START_MENU "$SMPROGRAMS\${PRODUCT}"

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
; An update goes where the last install went.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh
!include Sections.nsh

; The dialog's own icon, made at build time from its artwork.
!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
; The dialog's own languages; the installer speaks the one of the user's Windows.
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "German"
!insertmacro MUI_LANGUAGE "French"
LangString StartMenuSection ${LANG_ENGLISH} "Start menu"
LangString StartMenuSection ${LANG_GERMAN} "Startmenü"
LangString StartMenuSection ${LANG_FRENCH} "Menu Démarrer"
LangString DeveloperSection ${LANG_ENGLISH} "Files for developers"
LangString DeveloperSection ${LANG_GERMAN} "Dateien für Entwickler"
LangString DeveloperSection ${LANG_FRENCH} "Fichiers pour développeurs"

Section "${PRODUCT}" SecPrograms
  SectionIn RO
  SetOutPath "$INSTDIR"
  File "${STAGE}\veltrane.exe"
  File "${STAGE}\veltrane-cli.exe"
  ; Beside the dialog, where it looks for them.
  File "${STAGE}\Text - Deutsch.txt"
  File "${STAGE}\Text - Français.txt"
  File "${STAGE}\README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
SectionEnd

; The dialog needs a command line from its tuner, so the entry opens a command prompt in the
; program's folder with the command-line calibrator's help.
Section "$(StartMenuSection)" SecStartMenu
  SetOutPath "$INSTDIR"
  CreateDirectory "${START_MENU}"
  CreateShortcut "${START_MENU}\Veltrane command line.lnk" "$SYSDIR\cmd.exe" \
    '/k veltrane-cli.exe --help' "$INSTDIR\veltrane.exe" 0
  CreateShortcut "${START_MENU}\Veltrane read-me.lnk" "$INSTDIR\README.txt"
SectionEnd

!ifdef DEVELOPER_FILES
Section /o "$(DeveloperSection)" SecDeveloper
  !include "${DEVELOPER_FILES}\developer-install.nsh"
SectionEnd
!endif

; After every section, so that the size counts what was chosen.
Section "-Add/Remove Programs entry"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Ombrel's Projects"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\veltrane.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

!ifdef DEVELOPER_FILES
Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/DEVELOPER" $1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecDeveloper}
  ${EndIf}
FunctionEnd
!endif

Section "Uninstall"
  Delete "$INSTDIR\veltrane.exe"
  Delete "$INSTDIR\veltrane-cli.exe"
  Delete "$INSTDIR\Text - Deutsch.txt"
  Delete "$INSTDIR\Text - Français.txt"
  Delete "$INSTDIR\README.txt"
!ifdef DEVELOPER_FILES
  !include "${DEVELOPER_FILES}\developer-uninstall.nsh"
!endif
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: whatever the user put in the folder stays, and the folder with it.
  RMDir "$INSTDIR"
  Delete "${START_MENU}\Veltrane command line.lnk"
  Delete "${START_MENU}\Veltrane read-me.lnk"
  RMDir "${START_MENU}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
