; The Windows installer: xonspan.exe, README.txt and LICENSE.txt in a folder
; of their own, that folder once on the PATH, and an entry under "Installed
; apps" whose uninstaller takes all of it away again.
;
; makensis -DVERSION=1.0.0 -DSTAGE=DIR -DOUTFILE=FILE "-DPUBLISHER=..." xonspan.nsi
;
; Per user (no administrator rights, %LOCALAPPDATA%\Programs\xonspan, the
; user's PATH) unless run elevated or with /ALLUSERS (Program Files, the
; system PATH); /CURRENTUSER keeps an elevated run per user. /D=FOLDER
; chooses the folder of a first installation; a later one goes where the
; first went. A folder that holds files already is refused unless xonspan is
; installed there. Exit status: 0 done, 1 cancelled, 2 failed.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestSupportedOS all
CRCCheck on
; A file that cannot be written fails the installation, silent or not.
AllowSkipFiles off
ShowInstDetails show
ShowUninstDetails show

!include LogicLib.nsh
!include FileFunc.nsh
!include WinMessages.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\xonspan"
!define HKCU_HANDLE 0x80000001
!define HKLM_HANDLE 0x80000002
; Longest PATH this installer can hold as a string, without its NUL. A longer
; one is left alone, never cut.
!define /math PATH_MAX ${NSIS_MAX_STRLEN} - 1

Name "xonspan ${VERSION}"
OutFile "${OUTFILE}"
BrandingText "xonspan ${VERSION}"
VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "xonspan"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "xonspan ${VERSION} setup"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "LegalCopyright" "${COPYRIGHT}"

Page directory SkipOnUpgrade "" DirLeave
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var AllUsers    ; 1: for all users, 0: for this user
Var EnvRoot     ; the PATH's registry root, as a handle
Var EnvKey      ; and its key
Var PathValue   ; the PATH as stored, unexpanded
Var PathType    ; 1 REG_SZ, 2 REG_EXPAND_SZ, 0 none yet
Var PathSkip    ; 1: leave the PATH alone (it is too long to edit)
Var Previous    ; folder registered under Installed apps: this installation upgrades it
Var Scope       ; "for all users" or "for you"
Var Added       ; 1: the PATH entry is ours, noted at installation
Var Existed     ; 1: the PATH value was there before it (if only empty)

; Ends the run with status 2, saying why unless silent.
!macro Fail message
    MessageBox MB_OK|MB_ICONSTOP "${message}" /SD IDOK
    SetErrorLevel 2
    Quit
!macroend

!macro Functions un
; Registry root, key and shell folders of the mode in $AllUsers.
Function ${un}SetMode
    ${If} $AllUsers == 1
        SetShellVarContext all
        StrCpy $EnvRoot ${HKLM_HANDLE}
        StrCpy $EnvKey "System\CurrentControlSet\Control\Session Manager\Environment"
        StrCpy $Scope "for all users"
    ${Else}
        SetShellVarContext current
        StrCpy $EnvRoot ${HKCU_HANDLE}
        StrCpy $EnvKey "Environment"
        StrCpy $Scope "for you"
    ${EndIf}
FunctionEnd

; Fails unless this process has administrator rights.
Function ${un}RequireAdmin
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        !insertmacro Fail "Installing or removing xonspan for all users needs administrator rights: run it from a console opened as administrator."
    ${EndIf}
FunctionEnd

; $PathValue and $PathType from the registry, whole, with room for $R9 more
; characters. A PATH that is longer than a string here can be, or that is
; not a string, sets $PathSkip after asking (or, when silent, fails):
; nothing has been changed at that point.
Function ${un}ReadPath
    StrCpy $PathSkip 0
    StrCpy $PathValue ""
    StrCpy $PathType 0
    ; Type and size first: ReadRegStr alone cannot tell a long value from a missing one.
    System::Call 'advapi32::RegOpenKeyExW(p $EnvRoot, w "$EnvKey", i 0, i 0x20019, *p .r1) i .r0'
    ${If} $0 <> 0
        Return
    ${EndIf}
    System::Call 'advapi32::RegQueryValueExW(p r1, w "Path", p 0, *i .r2, p 0, *i 0 r3) i .r0'
    System::Call 'advapi32::RegCloseKey(p r1)'
    ${If} $0 = 2
        Return ; no PATH of this scope yet
    ${EndIf}
    ; Characters, counting the NUL if it is stored.
    IntOp $3 $3 / 2
    IntOp $4 $3 + $R9
    ${If} $0 <> 0
        StrCpy $4 "could not be read"
    ${ElseIf} $2 <> 1
    ${AndIf} $2 <> 2
        StrCpy $4 "is not a string value"
    ${ElseIf} $4 > ${PATH_MAX}
        StrCpy $4 "is $3 characters long, too long for this program to edit (${PATH_MAX} in all)"
    ${Else}
        ReadRegStr $PathValue SHCTX "$EnvKey" "Path"
        StrLen $5 $PathValue
        IntOp $6 $5 + 1
        ${If} $5 = $3
        ${OrIf} $6 = $3
            StrCpy $PathType $2
            Return
        ${EndIf}
        StrCpy $PathValue ""
        StrCpy $4 "could not be read whole"
    ${EndIf}
    MessageBox MB_YESNO|MB_ICONEXCLAMATION "The PATH $4, so it is left as it is. Go on without changing the PATH (edit it yourself: the folder is $INSTDIR)?" /SD IDNO IDYES skip
    !insertmacro Fail "The PATH $4. Nothing was changed."
skip:
    StrCpy $PathSkip 1
FunctionEnd

; Writes $0 as the PATH, of the type it had (a new one expands %VARIABLES%
; as Windows' own is made to).
Function ${un}WritePath
    ClearErrors
    ${If} $PathType = 1
        WriteRegStr SHCTX "$EnvKey" "Path" $0
    ${Else}
        WriteRegExpandStr SHCTX "$EnvKey" "Path" $0
    ${EndIf}
    ${If} ${Errors}
        !insertmacro Fail "Could not write the PATH."
    ${EndIf}
FunctionEnd

; Tells running programs (Explorer first) that the environment changed, so
; that a console opened from now on has the new PATH.
Function ${un}Broadcast
    System::Call 'user32::SendMessageTimeoutW(p ${HWND_BROADCAST}, i ${WM_SETTINGCHANGE}, p 0, w "Environment", i 2, i 5000, *p .r0)'
FunctionEnd
; $R8 as Windows takes it when looking a program up: without spaces around
; it and quotes, and when absolute, in full ("C:/a/./b\\" is "C:\a\b").
Function ${un}Canonical
    ${Do}
        StrCpy $R7 $R8 1
        ${IfThen} $R7 != " " ${|} ${ExitDo} ${|}
        StrCpy $R8 $R8 "" 1
    ${Loop}
    ${Do}
        StrCpy $R7 $R8 1 -1
        ${IfThen} $R7 != " " ${|} ${ExitDo} ${|}
        StrCpy $R8 $R8 -1
    ${Loop}
    ; By index: LogicLib's == takes a soft hyphen (and other characters
    ; that sort as nothing) for "".
    StrCpy $R9 ""
    StrLen $2 $R8
    StrCpy $1 0
    ${DoWhile} $1 < $2
        StrCpy $R7 $R8 1 $1
        ${IfThen} $R7 != '"' ${|} StrCpy $R9 "$R9$R7" ${|}
        IntOp $1 $1 + 1
    ${Loop}
    StrCpy $R8 $R9
    ; A relative entry names a folder of the current one, never ours.
    StrCpy $R7 $R8 2 1
    StrCpy $1 $R8 2
    ${If} $R7 == ":\"
    ${OrIf} $R7 == ":/"
    ${OrIf} $1 == "\\"
    ${OrIf} $1 == "//"
        System::Call 'kernel32::GetFullPathNameW(w R8, i ${NSIS_MAX_STRLEN}, w .R7, p 0) i .r1'
        ${If} $1 > 0
        ${AndIf} $1 < ${NSIS_MAX_STRLEN}
            StrCpy $R8 $R7
        ${EndIf}
        ${Do}
            StrCpy $R7 $R8 1 -1
            StrLen $1 $R8
            ${IfThen} $R7 != "\" ${|} ${ExitDo} ${|}
            ${IfThen} $1 <= 3 ${|} ${ExitDo} ${|}
            StrCpy $R8 $R8 -1
        ${Loop}
    ${EndIf}
FunctionEnd

; $R7: 1 when $R8 and $R1 are the same but for case, as Windows compares
; file names (no character ignored, unlike LogicLib's ==), else 0.
Function ${un}SameText
    System::Call 'kernel32::CompareStringOrdinal(w R8, i -1, w R1, i -1, i 1) i .R7'
    ${If} $R7 = 2 ; CSTR_EQUAL
        StrCpy $R7 1
    ${Else}
        StrCpy $R7 0
    ${EndIf}
FunctionEnd

; $R7: 1 when the folders $R8 and $R1 are one, however spelled, else 0.
; Changes $R1, $R8, $R9, $1, $2.
Function ${un}SameFolder
    Call ${un}Canonical
    StrCpy $R7 $R8
    StrCpy $R8 $R1
    StrCpy $R1 $R7
    Call ${un}Canonical
    Call ${un}SameText
FunctionEnd

!macroend
!insertmacro Functions ""
!insertmacro Functions "un."

; $R3: 1 when an entry of $PathValue names $INSTDIR, however spelled
; (%VARIABLES% too, in a REG_EXPAND_SZ), else 0.
Function HasEntry
    StrCpy $R8 $INSTDIR
    Call Canonical
    StrCpy $R1 $R8
    StrCpy $R3 0
    StrCpy $R4 ""   ; the entry being read
    StrCpy $R5 0    ; index in $PathValue
    StrLen $R2 $PathValue
    ${Do}
        StrCpy $R6 ";" ; past the end
        ${IfThen} $R5 < $R2 ${|} StrCpy $R6 $PathValue 1 $R5 ${|}
        ${If} $R6 == ";"
            StrCpy $R8 $R4
            ${If} $PathType = 2
                ExpandEnvStrings $R8 $R8
            ${EndIf}
            Call Canonical
            Call SameText
            ${IfThen} $R7 = 1 ${|} StrCpy $R3 1 ${|}
            StrCpy $R4 ""
        ${Else}
            StrCpy $R4 "$R4$R6"
        ${EndIf}
        IntOp $R5 $R5 + 1
    ${LoopUntil} $R5 > $R2
FunctionEnd

; $0: why $INSTDIR cannot take this installation, or "". A folder that holds
; files already must be where xonspan is registered: a file of the user's is
; never overwritten, nor removed later by the uninstaller.
Function CheckFolder
    StrCpy $0 ""
    ; Never the folder of the other scope's installation: uninstalling one
    ; would leave the other registered, its PATH entry with it.
    ${If} $AllUsers == 1
        ReadRegStr $R8 HKCU "${UNINSTALL_KEY}" "InstallLocation"
        StrCpy $3 "for you"
    ${Else}
        ReadRegStr $R8 HKLM "${UNINSTALL_KEY}" "InstallLocation"
        StrCpy $3 "for all users"
    ${EndIf}
    StrCpy $R1 $INSTDIR
    Call SameFolder
    ${If} $R7 = 1
        StrCpy $0 "xonspan is installed in $INSTDIR $3 already. Uninstall that first, or choose another folder."
        Return
    ${EndIf}
    StrCpy $R8 $INSTDIR
    StrCpy $R1 $Previous
    Call SameFolder
    ${DirState} "$INSTDIR" $1
    ${If} $1 = 1
    ${AndIf} $R7 = 0
        StrCpy $0 "$INSTDIR holds files already, and xonspan is not installed there $Scope. Choose a new or empty folder, so that none of those files is overwritten."
    ${EndIf}
FunctionEnd

Function DirLeave
    Call CheckFolder
    ${If} $0 != ""
        MessageBox MB_OK|MB_ICONEXCLAMATION $0
        Abort
    ${EndIf}
FunctionEnd

Function .onInit
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/ALLUSERS" $1
    ${IfNot} ${Errors}
        StrCpy $AllUsers 1
        ClearErrors
        ${GetOptions} $0 "/CURRENTUSER" $1
        ${IfNot} ${Errors}
            !insertmacro Fail "Give /ALLUSERS or /CURRENTUSER, not both."
        ${EndIf}
    ${Else}
        ClearErrors
        ${GetOptions} $0 "/CURRENTUSER" $1
        ${If} ${Errors}
            ; As a deployment tool expects: elevated means for all users.
            UserInfo::GetAccountType
            Pop $1
            StrCpy $AllUsers 0
            ${If} $1 == "Admin"
                StrCpy $AllUsers 1
            ${EndIf}
        ${Else}
            StrCpy $AllUsers 0
        ${EndIf}
    ${EndIf}
    Call SetMode
    ${If} $AllUsers == 1
        Call RequireAdmin
    ${EndIf}
    ; Upgraded in place, even when its folder was deleted by hand: its PATH
    ; entry is then taken off by the next uninstall.
    ReadRegStr $Previous SHCTX "${UNINSTALL_KEY}" "InstallLocation"
    ; $INSTDIR is empty here unless /D= gave it. One it did not take
    ; (relative, quoted, no such drive) fails rather than install elsewhere.
    ${If} $INSTDIR == ""
        System::Call 'kernel32::GetCommandLineW() w .r1'
        StrLen $2 $1
        StrCpy $3 0
        ${DoWhile} $3 < $2
            StrCpy $4 $1 3 $3
            ${If} $4 == "/D="
                !insertmacro Fail "The folder given with /D= cannot be used: give it in full (/D=C:\Tools\xonspan), last and without quotes."
            ${EndIf}
            IntOp $3 $3 + 1
        ${Loop}
    ${EndIf}
    ${If} $INSTDIR != ""
    ${ElseIf} $Previous != ""
        StrCpy $INSTDIR $Previous
    ${ElseIf} $AllUsers == 1
        StrCpy $INSTDIR "$PROGRAMFILES64\xonspan"
    ${Else}
        StrCpy $INSTDIR "$LOCALAPPDATA\Programs\xonspan"
    ${EndIf}
FunctionEnd

Function SkipOnUpgrade
    ${If} $Previous != ""
        Abort
    ${EndIf}
FunctionEnd

Section
    StrCpy $R7 0
    ${If} $Previous != ""
        StrCpy $R8 $INSTDIR
        StrCpy $R1 $Previous
        Call SameFolder
        ${If} $R7 = 0
            !insertmacro Fail "xonspan is already installed in $Previous. Uninstall it first to install it in $INSTDIR (if its uninstaller is gone, install it there again, then uninstall)."
        ${EndIf}
        ; Spelled as registered, as its PATH entry is.
        StrCpy $INSTDIR $Previous
    ${EndIf}
    StrCpy $R0 $R7 ; 1: an upgrade
    ; Checked before anything is changed.
    Call CheckFolder
    ${If} $0 != ""
        !insertmacro Fail $0
    ${EndIf}
    StrLen $R9 $INSTDIR
    IntOp $R9 $R9 + 2
    Call ReadPath

    ClearErrors
    SetOutPath "$INSTDIR"
    File "${STAGE}/xonspan.exe"
    File "${STAGE}/README.txt"
    File "${STAGE}/LICENSE.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    ${If} ${Errors}
        !insertmacro Fail "Could not write the files to $INSTDIR."
    ${EndIf}

    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "xonspan"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "Comments" "${DESCRIPTION}"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" $0
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
    ${If} ${Errors}
        !insertmacro Fail "Could not register xonspan under Installed apps."
    ${EndIf}

    ; The uninstaller takes off only an entry noted as added, and deletes the
    ; value only if there was none. An upgrade keeps the notes of the
    ; installation it goes over (an earlier setup noted nothing, and added it).
    StrCpy $Added 0
    StrCpy $Existed 1
    ${If} $R0 = 1
        ReadRegDWORD $Added SHCTX "${UNINSTALL_KEY}" "PathEntryAdded"
        ${IfThen} $Added == "" ${|} StrCpy $Added 1 ${|}
        ReadRegDWORD $Existed SHCTX "${UNINSTALL_KEY}" "PathValueExisted"
        ${IfThen} $Existed == "" ${|} StrCpy $Existed 1 ${|}
    ${EndIf}
    StrCpy $R3 1
    ${If} $PathSkip = 0
        Call HasEntry
        ${If} $R3 = 1
            DetailPrint "$INSTDIR is on the PATH already."
        ${Else}
            StrCpy $Added 1
            StrCpy $Existed 1
            ${IfThen} $PathType = 0 ${|} StrCpy $Existed 0 ${|}
            ; Appended, so that no program of the same name elsewhere is hidden.
            StrCpy $3 $PathValue "" -1
            StrLen $4 $PathValue
            ${If} $4 = 0
                StrCpy $0 $INSTDIR
            ${ElseIf} $3 == ";"
                ; Ends in a separator: so does the new one, so that removal gives back the same string.
                StrCpy $0 "$PathValue$INSTDIR;"
            ${Else}
                StrCpy $0 "$PathValue;$INSTDIR"
            ${EndIf}
        ${EndIf}
    ${EndIf}
    ; Noted before the PATH is written: a note of an entry that is not there removes nothing.
    ClearErrors
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "PathEntryAdded" $Added
    WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "PathValueExisted" $Existed
    ${If} ${Errors}
        !insertmacro Fail "Could not register xonspan under Installed apps."
    ${EndIf}
    ${If} $R3 = 0
        Call WritePath
    ${EndIf}
    Call Broadcast
SectionEnd

; $R2: the PATH in $R0 without the last entry that is $R1 as the installer
; wrote it, and one separator beside it (so that what was around it stays as
; it was); $R3: 1 if it was there.
Function un.RemoveEntry
    StrCpy $R2 $R0
    StrCpy $R3 0
    StrLen $R4 $R0
    StrLen $R5 $R1
    IntOp $R6 $R4 - $R5 ; where it would start, from the end back
    ${DoWhile} $R6 >= 0
        StrCpy $R7 $R0 $R5 $R6
        System::Call 'kernel32::CompareStringOrdinal(w R7, i -1, w R1, i -1, i 1) i .r0'
        StrCpy $R8 ";"
        ${If} $R6 > 0
            IntOp $R8 $R6 - 1
            StrCpy $R8 $R0 1 $R8
        ${EndIf}
        ; The end is found by length: "" compares equal to a soft hyphen.
        IntOp $R9 $R6 + $R5
        ${If} $R9 < $R4
            StrCpy $R9 $R0 1 $R9
        ${Else}
            StrCpy $R9 ";"
        ${EndIf}
        ${If} $0 = 2 ; the same but for case
        ${AndIf} $R8 == ";"
        ${AndIf} $R9 == ";"
            StrCpy $R3 1
            ${If} $R6 > 0
                IntOp $R8 $R6 - 1
                StrCpy $R2 $R0 $R8
                IntOp $R9 $R6 + $R5
                StrCpy $R9 $R0 "" $R9
                StrCpy $R2 "$R2$R9"
            ${Else}
                IntOp $R9 $R5 + 1
                StrCpy $R2 $R0 "" $R9
            ${EndIf}
            ${ExitDo}
        ${EndIf}
        IntOp $R6 $R6 - 1
    ${Loop}
FunctionEnd

Function un.onInit
    ; The installation for all users is the one registered in this folder.
    StrCpy $AllUsers 0
    ReadRegStr $R8 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    StrCpy $R1 $INSTDIR
    Call un.SameFolder
    ${If} $R7 = 1
        StrCpy $AllUsers 1
        Call un.RequireAdmin
    ${EndIf}
    Call un.SetMode
    ; Only where it is registered: files of another folder are not ours.
    ReadRegStr $0 SHCTX "${UNINSTALL_KEY}" "InstallLocation"
    StrCpy $R8 $0
    StrCpy $R1 $INSTDIR
    Call un.SameFolder
    ${If} $R7 = 0
        !insertmacro Fail "xonspan is not installed in $INSTDIR. Nothing was removed."
    ${EndIf}
    ; Spelled as registered, as its PATH entry is.
    StrCpy $INSTDIR $0
FunctionEnd

Section Uninstall
    ; Checked before anything is changed.
    ReadRegDWORD $Added SHCTX "${UNINSTALL_KEY}" "PathEntryAdded"
    ReadRegDWORD $Existed SHCTX "${UNINSTALL_KEY}" "PathValueExisted"
    StrCpy $PathSkip 1
    ${If} $Added = 1
        StrCpy $R9 0
        Call un.ReadPath
    ${EndIf}

    ; The program first: if a capture is still running it is in use, and
    ; then nothing else is removed either.
    ClearErrors
    Delete "$INSTDIR\xonspan.exe"
    ${If} ${Errors}
        !insertmacro Fail "$INSTDIR\xonspan.exe is in use: end the program using it, then uninstall again."
    ${EndIf}
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    ; The uninstaller that handed over to this copy may not have ended yet,
    ; and its file cannot go while it runs.
    StrCpy $0 0
    ${Do}
        Delete "$INSTDIR\uninstall.exe"
        ${IfNot} ${FileExists} "$INSTDIR\uninstall.exe"
        ${OrIf} $0 >= 100
            ${ExitDo}
        ${EndIf}
        IntOp $0 $0 + 1
        Sleep 100
    ${Loop}
    ; Only when empty: files of the user's own stay, and their folder with them.
    RMDir "$INSTDIR"

    DeleteRegKey SHCTX "${UNINSTALL_KEY}"

    ${If} $PathSkip = 0
        StrCpy $R0 $PathValue
        StrCpy $R1 $INSTDIR
        Call un.RemoveEntry
        StrLen $0 $R2
        ${If} $R3 = 0
        ${ElseIf} $0 = 0
        ${AndIf} $Existed <> 1
            ; Only ours was there: the value goes, as before installation.
            DeleteRegValue SHCTX "$EnvKey" "Path"
        ${Else}
            StrCpy $0 $R2
            Call un.WritePath
        ${EndIf}
    ${EndIf}
    Call un.Broadcast
SectionEnd
