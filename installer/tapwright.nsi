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
; How long an update waits for a launcher that is still ending, a product that is closing, or a
; file that a virus scanner or the search indexer holds for a moment; and a setup for another.
!define ATTEMPTS 20
!define ATTEMPT_MS 250
!define LOCK_MS 60000

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
Var Done
Var Moved
Var Lock
Var Staged

; Ends the setup, which has changed nothing, with a box that says why; silently, with exit code 2.
!macro Refuse TEXT
  MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel 2
  Quit
!macroend

; The folders that the first install made (the bits of $Created), each when it is empty.
!macro RemoveFolders
  SetOutPath "$TEMP"  ; a process's current folder cannot be removed
  ${If} $Created & ${FOLDER_PRODUCT}
    RMDir "$INSTDIR"
  ${EndIf}
  ${If} $Created & ${FOLDER_PROGRAMS}
    RMDir "$LOCALAPPDATA\Programs"
  ${EndIf}
!macroend

; One setup at a time, installer or uninstaller: two swaps interleaved could leave each one's
; programs beside the other's. The lock is a mutex that lives as long as this process, so a
; setup that is killed lets go of it too (the next one then finds it abandoned, which is as good).
!macro TakeLock
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "TapwrightSetupMutex") p .s'
  Pop $Lock
  System::Call 'kernel32::WaitForSingleObject(p $Lock, i ${LOCK_MS}) i .s'
  Pop $0
  ${If} $0 <> 0     ; WAIT_OBJECT_0
  ${AndIf} $0 <> 0x80  ; WAIT_ABANDONED
    !insertmacro Refuse "$(SetupBusy)"
  ${EndIf}
!macroend

; On Windows a program that runs, or whose process is still ending, cannot be opened for
; writing (its image is mapped), though it can be renamed: so a rename alone never proves that
; a program is free. Wine 8 behaves alike (the tests rely on it).
!macro CheckFree NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    ClearErrors
    FileOpen $0 "$INSTDIR\${NAME}" a
    ${If} ${Errors}
      StrCpy $Free 0
    ${Else}
      FileClose $0
    ${EndIf}
  ${EndIf}
!macroend

; One rename of the swap; $Moved says whether it happened. The error flag is read right after the
; rename that set it, since reading it clears it.
!macro Move FROM TO
  ClearErrors
  Rename "$INSTDIR\${FROM}" "$INSTDIR\${TO}"
  StrCpy $Moved 1
  ${IfThen} ${Errors} ${|} StrCpy $Moved 0 ${|}
!macroend

; A program goes aside (<name> -> <name>.old) only when it is free at that very moment, and only
; when it is there: a first install has nothing to put aside.
!macro Aside NAME
  StrCpy $Moved 1
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    StrCpy $Free 1
    !insertmacro CheckFree "${NAME}"
    StrCpy $Moved 0
    ${If} $Free = 1
      !insertmacro Move "${NAME}" "${NAME}.old"
    ${EndIf}
  ${EndIf}
!macroend

; An old program comes back only when it went aside.
!macro Back NAME
  StrCpy $Moved 1
  ${If} ${FileExists} "$INSTDIR\${NAME}.old"
    !insertmacro Move "${NAME}.old" "${NAME}"
  ${EndIf}
!macroend

; The swap is four steps, each one rename: the main program aside, the new one in, the launcher
; aside, the new one in. $Done counts the steps in place, and moves only when a step's own rename
; succeeds, so that a rollback undoes exactly what was done, in reverse, and a retry goes on from
; where the last attempt stands. The staged <name>.new files stay until the setup has finished:
; a retry needs them.
Function Forward
  ${DoWhile} $Done < 4
    ${Select} $Done
    ${Case} 0
      !insertmacro Aside "${MAIN_FILE}"
    ${Case} 1
      !insertmacro Move "${MAIN_FILE}.new" "${MAIN_FILE}"
    ${Case} 2
      !insertmacro Aside "${LAUNCHER_FILE}"
    ${Case} 3
      !insertmacro Move "${LAUNCHER_FILE}.new" "${LAUNCHER_FILE}"
    ${EndSelect}
    ${If} $Moved = 0
      ${ExitDo}
    ${EndIf}
    IntOp $Done $Done + 1
  ${Loop}
FunctionEnd

Function Rollback
  ${DoWhile} $Done > 0
    ${Select} $Done
    ${Case} 4
      !insertmacro Move "${LAUNCHER_FILE}" "${LAUNCHER_FILE}.new"
    ${Case} 3
      !insertmacro Back "${LAUNCHER_FILE}"
    ${Case} 2
      !insertmacro Move "${MAIN_FILE}" "${MAIN_FILE}.new"
    ${Case} 1
      !insertmacro Back "${MAIN_FILE}"
    ${EndSelect}
    ${If} $Moved = 0
      ${ExitDo}
    ${EndIf}
    IntOp $Done $Done - 1
  ${Loop}
FunctionEnd

; A setup killed halfway may leave an old program beside a new one: an obsolete copy, or an old
; instance that still runs, whose name then stays taken, and which the swap waits for like for a
; running program. A program aside with nothing in its place needs nothing here: the swap puts
; the new one there, or its rollback the old one back.
!macro Recover NAME
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    Delete "$INSTDIR\${NAME}.old"
  ${EndIf}
!macroend

; Both programs change together or not at all: a new launcher beside an old main program, or a
; missing file, would leave a product that cannot start or update. $Done is 4 when the new ones
; are in place, 0 when the old ones are as they were (a rollback that keeps failing, say while a
; scanner holds the new program it would put back, leaves it between: every program present).
Function ReplacePrograms
  StrCpy $Done 0
  StrCpy $Staged 0
  !insertmacro Recover "${MAIN_FILE}"
  !insertmacro Recover "${LAUNCHER_FILE}"
  SetOverwrite try  ; a staged file that cannot be written is retried, never asked about
  ${For} $1 1 ${ATTEMPTS}
    ${If} $Staged = 0
      ClearErrors
      File "/oname=${MAIN_FILE}.new" "${MAIN}"
      File "/oname=${LAUNCHER_FILE}.new" "${LAUNCHER}"
      ${IfNot} ${Errors}
        StrCpy $Staged 1
      ${EndIf}
    ${EndIf}
    ${If} $Staged = 1
      StrCpy $Free 1
      !insertmacro CheckFree "${MAIN_FILE}"
      !insertmacro CheckFree "${LAUNCHER_FILE}"
      ${If} $Free = 1
        Call Forward
      ${EndIf}
      ${If} $Done = 4
        ${Break}
      ${EndIf}
      Call Rollback
    ${EndIf}
    Sleep ${ATTEMPT_MS}
  ${Next}
  ${For} $1 1 ${ATTEMPTS}  ; given up: the rollback goes on, for as long again
    ${If} $Done = 0
    ${OrIf} $Done = 4
      ${Break}
    ${EndIf}
    Sleep ${ATTEMPT_MS}
    Call Rollback
  ${Next}
  ${IfThen} $Done = 4 ${|} Delete "$INSTDIR\${MAIN_FILE}.old" ${|}
  ${IfThen} $Done = 4 ${|} Delete "$INSTDIR\${LAUNCHER_FILE}.old" ${|}
  ; Once the swap is whole, either way, the staging is of no use; a file still held for a moment
  ; is waited for. Between the two, a setup run again needs what is there.
  ${For} $1 1 ${ATTEMPTS}
    ${If} $Done <> 0
    ${AndIf} $Done <> 4
      ${Break}
    ${EndIf}
    ClearErrors
    Delete "$INSTDIR\${MAIN_FILE}.new"
    Delete "$INSTDIR\${LAUNCHER_FILE}.new"
    ${IfNot} ${Errors}
      ${Break}
    ${EndIf}
    Sleep ${ATTEMPT_MS}
  ${Next}
FunctionEnd

Section
  !insertmacro TakeLock
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
  Call ReplacePrograms
  ${If} $Done <> 4
    !insertmacro RemoveFolders
    !insertmacro Refuse "$(RunningNotUpdated)"
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

; A program of the product, opened with no sharing at all: that fails while a scanner or the
; indexer holds it, and while it is open no one can start it. It is marked for deletion through
; that handle, which fails while it runs (its image is mapped, on Windows as under Wine).
!macro un.Claim NAME HANDLE
  StrCpy ${HANDLE} -1
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\${NAME}", i 0x80010000, i 0, p 0, i 3, i 0, p 0) p .s'
    Pop ${HANDLE}
    System::Call 'kernel32::SetFileInformationByHandle(p ${HANDLE}, i 4, *i 1, i 4) i .s'
    Pop $0
    ${IfThen} $0 = 0 ${|} StrCpy $Free 0 ${|}
  ${EndIf}
!macroend

!macro un.Release HANDLE
  ${If} ${HANDLE} != -1
    ${If} $Free = 0  ; another cannot go: this one stays too
      System::Call 'kernel32::SetFileInformationByHandle(p ${HANDLE}, i 4, *i 0, i 4)'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p ${HANDLE})'
  ${EndIf}
!macroend

; Both programs go together or neither, and before anything else: an entry, a shortcut or an
; uninstaller removed beside a program that stays would leave a product that can be neither used
; nor removed. Closing the marked handles deletes the files.
Function un.RemovePrograms
  ${For} $1 1 ${ATTEMPTS}
    StrCpy $Free 1
    !insertmacro un.Claim "${MAIN_FILE}" $2
    !insertmacro un.Claim "${LAUNCHER_FILE}" $3
    !insertmacro un.Claim "${MAIN_FILE}.old" $4
    !insertmacro un.Claim "${LAUNCHER_FILE}.old" $5
    !insertmacro un.Release $2
    !insertmacro un.Release $3
    !insertmacro un.Release $4
    !insertmacro un.Release $5
    ${If} $Free = 1
      ${Break}
    ${EndIf}
    Sleep ${ATTEMPT_MS}
  ${Next}
FunctionEnd

Section Uninstall
  !insertmacro TakeLock
  Call un.RemovePrograms
  ${If} $Free = 0
    !insertmacro Refuse "$(RunningNotRemoved)"
  ${EndIf}
  Delete "$INSTDIR\${MAIN_FILE}.new"
  Delete "$INSTDIR\${LAUNCHER_FILE}.new"
  ReadRegDWORD $Created HKCU "${ENTRY}" "Created"
  IntOp $Created $Created + 0
  DeleteRegKey HKCU "${ENTRY}"
  ${If} $Created & ${KEY_ENTRIES}
    DeleteRegKey /ifempty HKCU "${ENTRIES}"
  ${EndIf}
  Delete "${SHORTCUT}"
  Delete "$INSTDIR\${UNINSTALLER_FILE}"
  !insertmacro RemoveFolders
SectionEnd
