; The Tapwright installer: a per-user install of the launcher and the main program, with no
; administrator and no elevation (a launcher that an elevated installer starts runs elevated).
; What a release changes comes on the command line, never edited here:
;   makensis -DVERSION=2.1.0.0 -DLAUNCHER=<TapwrightService.exe> -DMAIN=<Tapwright.exe>
;            -DOUTFILE=<TapwrightSetup-2.1.0.0.exe> [-DSIGN=<command that signs the file named
;            after it, in place>] installer/tapwright.nsi
; with absolute paths: makensis works in the script's folder.
; /S installs silently, as an update that the browser runs does; the exit code is then 0 when
; the new version is in place and 2 when the old one was left as it was.
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
; Installers run from the Downloads folder, where anything may lie beside them. NSIS 3 limits
; its DLL search to System32 before it loads any DLL by name; its imports are known DLLs but
; COMCTL32, which common controls 6 in the manifest make Windows take from the side-by-side
; store, never from the installer's folder.
XPStyle on

!include LogicLib.nsh
!include "languages.nsh"

!macro Require NAME
  !ifndef ${NAME}
    !error "Give ${NAME} on the command line: makensis -D${NAME}=..."
  !endif
!macroend
!insertmacro Require VERSION
!insertmacro Require LAUNCHER
!insertmacro Require MAIN
!insertmacro Require OUTFILE

!define PRODUCT "Tapwright"
!define LAUNCHER_FILE "TapwrightService.exe"
!define MAIN_FILE "Tapwright.exe"
!define UNINSTALLER_FILE "Uninstall.exe"
!define SHORTCUT "$SMPROGRAMS\${PRODUCT}.lnk"
!define ENTRIES "Software\Microsoft\Windows\CurrentVersion\Uninstall"
!define ENTRY "${ENTRIES}\${PRODUCT}"
; What the install writes, in this order; the uninstaller removes the same in reverse:
;   1. the folders $LOCALAPPDATA\Programs and $INSTDIR, each when it is missing;
;   2. MAIN_FILE, then LAUNCHER_FILE (staged as <name>.new, swapped in through <name>.old);
;   3. UNINSTALLER_FILE;  4. SHORTCUT;  5. the key ENTRIES, when it is missing, and ENTRY.
; What was missing is noted in the entry's value "Created" (the bits below), so that a folder or
; key that was there before the first install stays after the uninstall.
!define FOLDER_PROGRAMS 1
!define FOLDER_PRODUCT 2
!define KEY_ENTRIES 4
; How long an update waits for a launcher that is still ending, or a product that is closing.
!define ATTEMPTS 20
!define ATTEMPT_MS 250

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${PRODUCT}"
VIProductVersion ${VERSION}
VIAddVersionKey ProductName "${PRODUCT}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey FileDescription "${PRODUCT} Setup"
VIAddVersionKey CompanyName "${PRODUCT}"
VIAddVersionKey LegalCopyright "${PRODUCT}"

!ifdef SIGN
  ; The uninstaller is signed before it is packed into the installer, the installer last; a
  ; signing command that fails fails the build.
  !uninstfinalize '${SIGN} "%1"' = 0
  !finalize '${SIGN} "%1"' = 0
!endif

Page instfiles
UninstPage uninstConfirm
UninstallText "$(ConfirmUninstall)"
UninstPage instfiles

Var Created
Var Free

; On Windows a program that runs, or whose process is still ending, cannot be opened for
; writing (its image is mapped), though it can be renamed: so a rename alone never proves that
; a program is free. Wine 8 behaves alike (the tests rely on it). A leftover <name>.old that
; cannot go is busy too, since the swap needs its name.
!macro CheckFree NAME
  Delete "$INSTDIR\${NAME}.old"
  ${If} ${FileExists} "$INSTDIR\${NAME}.old"
    StrCpy $Free 0
  ${ElseIf} ${FileExists} "$INSTDIR\${NAME}"
    ClearErrors
    FileOpen $0 "$INSTDIR\${NAME}" a
    ${If} ${Errors}
      StrCpy $Free 0
    ${Else}
      FileClose $0
    ${EndIf}
  ${EndIf}
!macroend

; Sets the error flag when a step fails; SwapBack undoes whatever part of it was done.
!macro SwapIn NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    Rename "$INSTDIR\${NAME}" "$INSTDIR\${NAME}.old"
  ${EndIf}
  ${IfNot} ${Errors}
    Rename "$INSTDIR\${NAME}.new" "$INSTDIR\${NAME}"
  ${EndIf}
!macroend

!macro SwapBack NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}.old"
    ${If} ${FileExists} "$INSTDIR\${NAME}"
      Rename "$INSTDIR\${NAME}" "$INSTDIR\${NAME}.new"
    ${EndIf}
    Rename "$INSTDIR\${NAME}.old" "$INSTDIR\${NAME}"
  ${ElseIfNot} ${FileExists} "$INSTDIR\${NAME}.new"
    Rename "$INSTDIR\${NAME}" "$INSTDIR\${NAME}.new"
  ${EndIf}
  Delete "$INSTDIR\${NAME}.new"
!macroend

; Both programs change together or not at all: a new launcher beside an old main program, or a
; missing file, would leave a product that cannot start or update. Sets $Free to 1 on success.
Function ReplacePrograms
  ${For} $1 1 ${ATTEMPTS}
    StrCpy $Free 1
    !insertmacro CheckFree "${MAIN_FILE}"
    !insertmacro CheckFree "${LAUNCHER_FILE}"
    ${If} $Free = 1
      ClearErrors
      !insertmacro SwapIn "${MAIN_FILE}"
      ${IfNot} ${Errors}
        !insertmacro SwapIn "${LAUNCHER_FILE}"
      ${EndIf}
      ${IfNot} ${Errors}
        Delete "$INSTDIR\${MAIN_FILE}.old"
        Delete "$INSTDIR\${LAUNCHER_FILE}.old"
        Return
      ${EndIf}
      !insertmacro SwapBack "${LAUNCHER_FILE}"
      !insertmacro SwapBack "${MAIN_FILE}"
      StrCpy $Free 0
    ${EndIf}
    Sleep ${ATTEMPT_MS}
  ${Next}
FunctionEnd

Section
  ; An update keeps what the first install noted.
  ReadRegDWORD $Created HKCU "${ENTRY}" "Created"
  IntOp $Created $Created + 0
  ${IfNot} ${FileExists} "$LOCALAPPDATA\Programs\*.*"
    IntOp $Created $Created | ${FOLDER_PROGRAMS}
  ${EndIf}
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    IntOp $Created $Created | ${FOLDER_PRODUCT}
  ${EndIf}
  ClearErrors
  EnumRegKey $0 HKCU "${ENTRIES}" 0
  ${If} ${Errors}
    IntOp $Created $Created | ${KEY_ENTRIES}
  ${EndIf}
  SetOutPath "$INSTDIR"
  File "/oname=${MAIN_FILE}.new" "${MAIN}"
  File "/oname=${LAUNCHER_FILE}.new" "${LAUNCHER}"
  Call ReplacePrograms
  ${If} $Free = 0
    Delete "$INSTDIR\${MAIN_FILE}.new"
    Delete "$INSTDIR\${LAUNCHER_FILE}.new"
    SetOutPath "$TEMP"  ; a process's current folder cannot be removed
    ${If} $Created & ${FOLDER_PRODUCT}
      RMDir "$INSTDIR"
    ${EndIf}
    ${If} $Created & ${FOLDER_PROGRAMS}
      RMDir "$LOCALAPPDATA\Programs"
    ${EndIf}
    MessageBox MB_OK|MB_ICONSTOP "$(RunningNotUpdated)" /SD IDOK
    Abort "${PRODUCT} is running: nothing was changed."
  ${EndIf}
  WriteUninstaller "$INSTDIR\${UNINSTALLER_FILE}"
  ; The shortcut starts in $INSTDIR, as SetOutPath left it.
  CreateShortcut "${SHORTCUT}" "$INSTDIR\${LAUNCHER_FILE}" "/inst" "$INSTDIR\${MAIN_FILE}" 0
  WriteRegStr HKCU "${ENTRY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${ENTRY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${ENTRY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKCU "${ENTRY}" "DisplayIcon" "$INSTDIR\${MAIN_FILE}"
  WriteRegStr HKCU "${ENTRY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${ENTRY}" "UninstallString" '"$INSTDIR\${UNINSTALLER_FILE}"'
  WriteRegStr HKCU "${ENTRY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER_FILE}" /S'
  SectionGetSize 0 $0
  WriteRegDWORD HKCU "${ENTRY}" "EstimatedSize" $0
  WriteRegDWORD HKCU "${ENTRY}" "NoModify" 1
  WriteRegDWORD HKCU "${ENTRY}" "NoRepair" 1
  WriteRegDWORD HKCU "${ENTRY}" "Created" $Created
  ; Every start of the product checks for an update first; the installer does not wait.
  Exec '"$INSTDIR\${LAUNCHER_FILE}" /inst'
SectionEnd

Section Uninstall
  ; Half a product, with its entry gone, could be neither used nor removed.
  StrCpy $Free 1
  !insertmacro CheckFree "${MAIN_FILE}"
  !insertmacro CheckFree "${LAUNCHER_FILE}"
  ${If} $Free = 0
    MessageBox MB_OK|MB_ICONSTOP "$(RunningNotRemoved)" /SD IDOK
    Abort "${PRODUCT} is running: nothing was changed."
  ${EndIf}
  ReadRegDWORD $Created HKCU "${ENTRY}" "Created"
  IntOp $Created $Created + 0
  DeleteRegKey HKCU "${ENTRY}"
  ${If} $Created & ${KEY_ENTRIES}
    DeleteRegKey /ifempty HKCU "${ENTRIES}"
  ${EndIf}
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\${UNINSTALLER_FILE}"
  Delete "$INSTDIR\${LAUNCHER_FILE}"
  Delete "$INSTDIR\${LAUNCHER_FILE}.old"
  Delete "$INSTDIR\${MAIN_FILE}"
  Delete "$INSTDIR\${MAIN_FILE}.old"
  SetOutPath "$TEMP"  ; a process's current folder cannot be removed
  ${If} $Created & ${FOLDER_PRODUCT}
    RMDir "$INSTDIR"
  ${EndIf}
  ${If} $Created & ${FOLDER_PROGRAMS}
    RMDir "$LOCALAPPDATA\Programs"
  ${EndIf}
SectionEnd
