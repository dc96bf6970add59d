; Included by Pulvane's installer (CPACK_NSIS_DEFINES in windows.cmake).
; Before the installer replaces pulvane.exe, and before the uninstaller
; removes it, a Pulvane running from the program folder is closed as its user
; would close it: its window is sent WM_CLOSE and the installer waits until
; the program has ended. The user is asked first unless the installer runs
; silently (/S, as the installer runs the old uninstaller). A Pulvane that
; does not close, or a pulvane.exe in use without a window (another user's),
; gets a Retry/Cancel box; Cancel (and a silent run) stops with nothing
; changed, instead of Windows' "Error opening file for writing".

!include LogicLib.nsh
!include WinMessages.nsh

; Every version's window title starts so (Pulvane - Ver. 1.1.1.0).
!define PULVANE_TITLE "Pulvane - Ver. "
!define PULVANE_EXE "pulvane.exe"

!macro PULVANE_CLOSE_FUNCTIONS UN VERB
; Pushes the window of a Pulvane started from $INSTDIR, or 0.
Function ${UN}PulvaneWindow
  Push $0
  Push $1
  Push $2
  StrCpy $0 0
  next:
    FindWindow $0 "" "" 0 $0
    StrCmp $0 0 done
    System::Call "user32::GetWindowTextW(p r0, w .r1, i ${NSIS_MAX_STRLEN}) i"
    StrLen $2 "${PULVANE_TITLE}"
    StrCpy $1 $1 $2
    StrCmp $1 "${PULVANE_TITLE}" 0 next
    ; The program file of the window's process: only the one in the way.
    System::Call "user32::GetWindowThreadProcessId(p r0, *i .r2) i"
    ; PROCESS_QUERY_LIMITED_INFORMATION
    System::Call "kernel32::OpenProcess(i 0x1000, i 0, i r2) p .r2"
    StrCmp $2 0 next
    StrCpy $1 ""
    System::Call "kernel32::QueryFullProcessImageNameW(p r2, i 0, w .r1, *i ${NSIS_MAX_STRLEN}) i"
    System::Call "kernel32::CloseHandle(p r2) i"
    StrCmp $1 "$INSTDIR\${PULVANE_EXE}" done next
  done:
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Pushes 1 while $INSTDIR\pulvane.exe cannot be written (a program runs from
; it), else 0.
Function ${UN}PulvaneInUse
  Push $0
  StrCpy $0 0
  IfFileExists "$INSTDIR\${PULVANE_EXE}" 0 done
  ClearErrors
  FileOpen $0 "$INSTDIR\${PULVANE_EXE}" a
  IfErrors inuse
  FileClose $0
  StrCpy $0 0
  Goto done
  inuse:
  StrCpy $0 1
  done:
  Exch $0
FunctionEnd

Function ${UN}PulvaneClose
  Push $0 ; a window, or whether the file is in use
  Push $1 ; fifths of a second waited
  Push $2 ; 1 once the user has been asked
  Push $3 ; the window last sent WM_CLOSE
  StrCpy $1 0
  StrCpy $2 0
  StrCpy $3 0
  loop:
    Call ${UN}PulvaneWindow
    Pop $0
    StrCmp $0 0 nowindow
    ; Each window is asked once to close (again after Retry).
    StrCmp $0 $3 wait
    StrCmp $2 1 close
    MessageBox MB_OKCANCEL|MB_ICONINFORMATION "Pulvane is running and must close before it can be ${VERB}.$\n$\nChoose OK to close it now (a device number not yet saved is lost), or Cancel to leave it running." /SD IDOK IDOK +2
    Abort "Pulvane is running: nothing was changed."
    StrCpy $2 1
    close:
    DetailPrint "Closing Pulvane"
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    StrCpy $3 $0
    Goto wait
    nowindow:
    Call ${UN}PulvaneInUse
    Pop $0
    StrCmp $0 0 closed
    wait:
    ; Up to 10 s for every window to go and the program to end.
    IntOp $1 $1 + 1
    IntCmp $1 50 stillthere 0 stillthere
    Sleep 200
    Goto loop
  stillthere:
  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Pulvane ($INSTDIR\${PULVANE_EXE}) is still running: it may be showing a message, or another user runs it.$\n$\nClose it, then choose Retry; Cancel leaves everything as it is." /SD IDCANCEL IDRETRY retry
  Abort "Pulvane is still running: nothing was changed."
  retry:
  StrCpy $1 0
  StrCpy $3 0
  Goto loop
  closed:
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
!macroend

!insertmacro PULVANE_CLOSE_FUNCTIONS "" "updated"
!insertmacro PULVANE_CLOSE_FUNCTIONS "un." "removed"
