; The Tapwright installer: a per-user install of the launcher and the main program, with no
; administrator and no elevation (a launcher that an elevated installer starts runs elevated).
; What a release changes comes on the command line, never edited here:
;   makensis -DVERSION=2.1.0.0 -DLAUNCHER=<TapwrightService.exe> -DMAIN=<Tapwright.exe>
;            -DOUTFILE=<TapwrightSetup-2.1.0.0.exe> [-DSIGN=<command that signs the file named
;            after it, in place>] installer/tapwright.nsi
; with absolute paths: makensis works in the script's folder.
; /S installs silently, as an update that the browser runs does; the exit code is then 0 when
; the new version is in place, 2 when the old one was left as it was, and 3 when the update
; stopped between the two programs (each whole; the setup run again finishes it).
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
; What the install writes, in this order:
;   1. the folders $LOCALAPPDATA\Programs and $INSTDIR, each when it is missing;
;   2. MAIN_FILE, then LAUNCHER_FILE (staged as <name>.new, the old kept as <name>.old meanwhile);
;   3. UNINSTALLER_FILE;  4. SHORTCUT;  5. the key ENTRIES, when it is missing, and ENTRY.
; The uninstaller removes the same: 2 first, then 4, ENTRY's Apps-list values, 3, 1, and the
; rest of 5 last (see un.RemovePrograms and the uninstall section).
; What was missing is noted in the entry's value "Created" (the bits below), so that a folder or
; key that was there before the first install stays after the uninstall.
!define FOLDER_PROGRAMS 1
!define FOLDER_PRODUCT 2
!define KEY_ENTRIES 4
; How long an update waits for a launcher that is still ending, a product that is closing, or a
; file that a virus scanner or the search indexer holds for a moment; and a setup for another.
!define ATTEMPTS 20
!define ATTEMPT_MS 250
!ifndef LOCK_MS  ; the bench's setups wait less, so that a test can outlast the wait
  !define LOCK_MS 60000
!endif

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

; Ends the setup with a box that says why; silently, with the exit code.
!macro Refuse TEXT CODE
  MessageBox MB_OK|MB_ICONSTOP "${TEXT}" /SD IDOK
  SetErrorLevel ${CODE}
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
    !insertmacro Refuse "$(SetupBusy)" 2
  ${EndIf}
!macroend

; On Windows a program that runs, or whose process is still ending, cannot be opened for
; writing (its image is mapped), nor replaced. Both are checked before the swap, so that a
; launcher that runs does not cost the main program a step that would have to be undone. Wine 8
; behaves alike (the tests rely on it).
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

; Data reaches the disk before a rename makes it live: NTFS journals names, not data, so a power
; cut soon after an update could otherwise leave programs of zeros. Under Wine this is an fsync.
; On failure $9 is 0 and the error flag is set.
!macro Flush PATH
  System::Call 'kernel32::CreateFileW(w "${PATH}", i 0x40000000, i 7, p 0, i 3, i 0, p 0) p .R9'
  System::Call 'kernel32::FlushFileBuffers(p R9) i .r9'
  System::Call 'kernel32::CloseHandle(p R9)'
  ${IfThen} $9 = 0 ${|} SetErrors ${|}
!macroend

; A staged program is written afresh, never over an old staging in place (after a rollback that
; is another name of the installed program), and is on disk before anything renames it.
!macro Stage NAME SOURCE
  Delete "$INSTDIR\${NAME}.new"
  ${If} ${FileExists} "$INSTDIR\${NAME}.new"
    SetErrors
  ${Else}
    File "/oname=${NAME}.new" "${SOURCE}"
    !insertmacro Flush "$INSTDIR\${NAME}.new"
  ${EndIf}
!macroend

; One program's step: what the name holds stays reachable as <name>.<KEEP> (a hard link, or where
; the file system has none a copy, on disk first), then <name>.<FROM> moves over the name in one
; write-through rename, which fails while the program runs or is held. So the name holds a whole
; program at every instant, and a setup killed anywhere leaves every program startable. $Moved
; says whether the rename happened; a step that failed before it, or a killed setup, leaves one
; more name of a program, which the next try makes afresh and a whole swap removes. With no
; <name>.<FROM> (a first install rolled back) the program goes back to <name>.<KEEP>.
!macro Swap NAME KEEP FROM
  StrCpy $7 "$INSTDIR\${NAME}.${FROM}"
  StrCpy $8 "$INSTDIR\${NAME}"
  StrCpy $9 1
  ${IfNot} ${FileExists} $7
    StrCpy $7 $8
    StrCpy $8 "$INSTDIR\${NAME}.${KEEP}"
  ${ElseIf} ${FileExists} $8
    Delete "$INSTDIR\${NAME}.${KEEP}"
    System::Call 'kernel32::CreateHardLinkW(w "$INSTDIR\${NAME}.${KEEP}", w r8, p 0) i .r9'
    ${If} $9 = 0
      System::Call 'kernel32::CopyFileW(w r8, w "$INSTDIR\${NAME}.${KEEP}", i 1) i .r9'
      ${IfThen} $9 <> 0 ${|} !insertmacro Flush "$INSTDIR\${NAME}.${KEEP}" ${|}
    ${EndIf}
  ${EndIf}
  ; MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH: it returns once the rename is on disk
  ; (Wine ignores the latter: a rename there is not flushed).
  ${If} $9 <> 0
    System::Call 'kernel32::MoveFileExW(w r7, w r8, i 9) i .r9'
  ${EndIf}
  StrCpy $Moved $9
!macroend

; The swap is two steps, the main program's, then the launcher's. $Done counts the steps in place
; and moves only when a step's own rename succeeds, so that a rollback undoes exactly what was
; done, in reverse, and a retry goes on from where the last attempt stands. A rollback step is
; the same step the other way: the new program stays as <name>.new for the retry.
Function Forward
  ${DoWhile} $Done < 2
    ${If} $Done = 0
      !insertmacro Swap "${MAIN_FILE}" old new
    ${Else}
      !insertmacro Swap "${LAUNCHER_FILE}" old new
    ${EndIf}
    ${If} $Moved = 0
      ${ExitDo}
    ${EndIf}
    IntOp $Done $Done + 1
  ${Loop}
FunctionEnd

Function Rollback
  ${DoWhile} $Done > 0
    ${If} $Done = 2
      !insertmacro Swap "${LAUNCHER_FILE}" new old
    ${Else}
      !insertmacro Swap "${MAIN_FILE}" new old
    ${EndIf}
    ${If} $Moved = 0
      ${ExitDo}
    ${EndIf}
    IntOp $Done $Done - 1
  ${Loop}
FunctionEnd

; A sync tool, a backup restore or the user may have made a program read-only: it could then be
; neither opened for writing, replaced nor deleted, and every update and uninstall would take it
; for running. The product's own programs are ours to change; its other files keep theirs.
!macro Writable NAME
  System::Call 'kernel32::GetFileAttributesW(w "$INSTDIR\${NAME}") i .r9'
  ${If} $9 <> -1
  ${AndIf} $9 & 1  ; FILE_ATTRIBUTE_READONLY
    IntOp $9 $9 ^ 1
    System::Call 'kernel32::SetFileAttributesW(w "$INSTDIR\${NAME}", i r9)'
  ${EndIf}
!macroend

; Both programs change together or not at all: a new launcher beside an old main program would
; leave a product that cannot update as it should. $Done is 2 when the new ones are in place, 0
; when the old ones are as they were; a rollback that keeps failing, say while a scanner holds the
; old copy it would put back, leaves 1: the new main program beside the old launcher.
Function ReplacePrograms
  StrCpy $Done 0
  StrCpy $Staged 0
  !insertmacro Writable "${MAIN_FILE}"
  !insertmacro Writable "${LAUNCHER_FILE}"
  SetOverwrite try  ; a staged file that cannot be written is retried, never asked about
  ${For} $1 1 ${ATTEMPTS}
    ${If} $Staged = 0
      ClearErrors
      !insertmacro Stage "${MAIN_FILE}" "${MAIN}"
      !insertmacro Stage "${LAUNCHER_FILE}" "${LAUNCHER}"
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
      ${If} $Done = 2
        ${Break}
      ${EndIf}
      Call Rollback
    ${EndIf}
    Sleep ${ATTEMPT_MS}
  ${Next}
  ${For} $1 1 ${ATTEMPTS}  ; given up: the rollback goes on, for as long again
    ${If} $Done <> 1
      ${Break}
    ${EndIf}
    Sleep ${ATTEMPT_MS}
    Call Rollback
  ${Next}
  ; Once the swap is whole, either way, and its renames are on disk, the old copies and the
  ; staging are of no use; a file still held for a moment is waited for. Between the two, a setup
  ; run again needs what is there.
  ${For} $1 1 ${ATTEMPTS}
    ${If} $Done = 1
      ${Break}
    ${EndIf}
    ClearErrors
    Delete "$INSTDIR\${MAIN_FILE}.old"
    Delete "$INSTDIR\${LAUNCHER_FILE}.old"
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
  ${If} $Done = 0
    !insertmacro RemoveFolders
    !insertmacro Refuse "$(RunningNotUpdated)" 2
  ${ElseIf} $Done = 1
    !insertmacro Refuse "$(NotCompleted)" 3
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

; A program of the product, opened for writing and deleting with no sharing at all: that fails
; while it runs (its image is mapped, on Windows as under Wine) and while a scanner or the indexer
; holds it, and while it is open no one can start it.
!macro un.Claim NAME HANDLE
  StrCpy ${HANDLE} -1
  ${If} ${FileExists} "$INSTDIR\${NAME}"
    !insertmacro Writable "${NAME}"  ; as the setup does
    System::Call 'kernel32::CreateFileW(w "$INSTDIR\${NAME}", i 0xC0010000, i 0, p 0, i 3, i 0, p 0) p .s'
    Pop ${HANDLE}
    ${IfThen} ${HANDLE} == -1 ${|} StrCpy $Free 0 ${|}
  ${EndIf}
!macroend

; Marks a claimed file for deletion when its handle closes. The claim has already failed for what
; would make this fail (a program that runs, a read-only file).
!macro un.Mark HANDLE
  ${If} ${HANDLE} != -1
    System::Call 'kernel32::SetFileInformationByHandle(p ${HANDLE}, i 4, *i 1, i 4) i .r9'
    ${IfThen} $9 = 0 ${|} StrCpy $Free 0 ${|}
  ${EndIf}
!macroend

; Both programs go together or neither, and before anything else: an entry, a shortcut or an
; uninstaller removed beside a program that stays would leave a product that can be neither used
; nor removed. All four files are claimed before any is marked, so that a program that runs or is
; held keeps them all; closing the marked handles deletes them, as the end of a killed uninstaller
; does.
Function un.RemovePrograms
  ${For} $1 1 ${ATTEMPTS}
    StrCpy $Free 1
    !insertmacro un.Claim "${MAIN_FILE}" $2
    !insertmacro un.Claim "${LAUNCHER_FILE}" $3
    !insertmacro un.Claim "${MAIN_FILE}.old" $4
    !insertmacro un.Claim "${LAUNCHER_FILE}.old" $5
    ${If} $Free = 1
      !insertmacro un.Mark $2
      !insertmacro un.Mark $3
      !insertmacro un.Mark $4
      !insertmacro un.Mark $5
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p $2)'
    System::Call 'kernel32::CloseHandle(p $3)'
    System::Call 'kernel32::CloseHandle(p $4)'
    System::Call 'kernel32::CloseHandle(p $5)'
    ${If} $Free = 1
      ${Break}
    ${EndIf}
    Sleep ${ATTEMPT_MS}
  ${Next}
FunctionEnd

Section Uninstall
  !insertmacro TakeLock
  ReadRegDWORD $Created HKCU "${ENTRY}" "Created"
  IntOp $Created $Created + 0
  Call un.RemovePrograms
  ${If} $Free = 0
    !insertmacro Refuse "$(RunningNotRemoved)" 2
  ${EndIf}
  Delete "$INSTDIR\${MAIN_FILE}.new"
  Delete "$INSTDIR\${LAUNCHER_FILE}.new"
  Delete "${SHORTCUT}"
  ; The entry leaves the Apps list and stops naming the uninstaller before the uninstaller goes, and
  ; keeps "Created" to the last, so that an uninstaller killed between and run again still removes
  ; exactly what the install made.
  DeleteRegValue HKCU "${ENTRY}" "UninstallString"
  DeleteRegValue HKCU "${ENTRY}" "QuietUninstallString"
  DeleteRegValue HKCU "${ENTRY}" "DisplayName"
  Delete "$INSTDIR\${UNINSTALLER_FILE}"
  !insertmacro RemoveFolders
  DeleteRegKey HKCU "${ENTRY}"
  ${If} $Created & ${KEY_ENTRIES}
    DeleteRegKey /ifempty HKCU "${ENTRIES}"
  ${EndIf}
SectionEnd
