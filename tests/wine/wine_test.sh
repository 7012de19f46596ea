#!/bin/bash
# End-to-end checks of the real trustrun.exe under Wine, one group of cases per
# CTest test. Wine's SAFER calls are stubs, so a launch always fails at
# CreateProcessAsUserA with error 6; Wine's debug channels show what the
# executable handed to the platform.
#   wine_test.sh GROUP EXE   (WINEPREFIX and OBJDUMP come from the environment)
set -euo pipefail
group=$1
exe=$2
export LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL [$group]: $*" >&2; exit 1; }

# run CHANNELS WORD...: runs the executable with only those Wine debug channels;
# leaves status, and stdout and stderr in $work/out and $work/err.
run() {
    local channels=$1
    shift
    set +e
    WINEDEBUG=$channels wine "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    set -e
}

expect_status() { [ "$status" -eq "$1" ] || fail "$2: status $status, expected $1"; }
# stderr holds exactly the given text (printf escapes allowed).
expect_err() { printf "$1" | cmp -s - "$work/err" || fail "$2: stderr was [$(cat -A "$work/err")]"; }
expect_quiet_stdout() { [ ! -s "$work/out" ] || fail "$1: wrote to stdout"; }
# The level id Wine saw in SaferCreateLevel, or nothing when it was not called.
level_seen() { sed -n 's/.*fixme:advapi:SaferCreateLevel (\([0-9]*\), \([0-9a-f]*\), \([0-9]*\),.*/\1 \2 \3/p' "$work/err"; }
# The command line CreateProcessAsUserA handed on, from the thread that made
# the SAFER calls (Wine's own services log other command lines).
cmdline_seen() {
    local thread
    thread=$(sed -n 's/^\([0-9a-f]*\):fixme:advapi:SaferCreateLevel.*/\1/p' "$work/err")
    sed -n "s/^$thread:trace:process:CreateProcessInternalW app (null) cmdline L\"\(.*\)\"$/\1/p" "$work/err"
}

case $group in
prefix-up)
    # One prefix for the whole run, made once and kept under the build folder.
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        WINEDEBUG=-all wineboot -i >/dev/null 2>&1
    fi
    # Let Wine draw window captions itself, as there is no window manager.
    WINEDEBUG=-all wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /t REG_SZ /d N /f >/dev/null
    ;;

prefix-down)
    WINEDEBUG=-all wineserver -k || true
    ;;

usage)
    for words in "" "u" "Untrusted"; do
        run -all,fixme+advapi $words
        expect_status 87 "words [$words]"
        expect_err 'Parameters are missing.\r\n' "words [$words]"
        expect_quiet_stdout "words [$words]"
    done
    ;;

lengths)
    # "notepad.exe " and a word of n-13 characters join to n characters.
    for n in 259 260 261; do
        word=$(printf '%*s' $((n - 13)) '' | tr ' ' a)
        run -all,fixme+advapi,trace+process u notepad.exe "$word"
        if [ "$n" -eq 259 ]; then
            [ "$(level_seen)" == "2 1000 0" ] || fail "259 characters did not reach SaferCreateLevel"
            [ "$(cmdline_seen)" == "notepad.exe $word " ] || fail "259 characters: command line [$(cmdline_seen)]"
            expect_status 6 "259 characters"
        else
            expect_status 1 "$n characters"
            [ -z "$(level_seen)" ] || fail "$n characters reached the platform"
            [ -z "$(cmdline_seen)" ] || fail "$n characters started a process"
            grep -qv "^[0-9a-f]*:\(trace\|fixme\)" "$work/err" && fail "$n characters printed something"
        fi
    done
    ;;

levels)
    while IFS=: read -r word expected; do
        run -all,fixme+advapi "$word" notepad.exe
        [ "$(level_seen)" == "2 $expected 0" ] || fail "level word [$word]: saw [$(level_seen)]"
        expect_status 6 "level word [$word]"
    done <<'LEVELS'
C:10000
c:10000
Constrained:10000
constrained:10000
U:1000
u:1000
Untrusted:1000
uX:1000
N:20000
n:20000
x:20000
1:20000
:20000
é:20000
Ünicode:20000
LEVELS
    ;;

command-line)
    # Wine shows quotes as \" and backslashes as \\, and other characters
    # beyond ASCII as \xxxx.
    touch match.txt  # a wildcard that could match must still arrive as typed
    check() {
        local expected=$1
        shift
        run -all,fixme+advapi,trace+process n "$@"
        [ "$(cmdline_seen)" == "$expected" ] || fail "words [$*]: command line [$(cmdline_seen)]"
    }
    check 'notepad.exe ' notepad.exe
    check 'notepad.exe my file.txt ' notepad.exe "my file.txt"
    check 'notepad.exe  b ' notepad.exe "" b
    check '  ' "" ""
    check 'cmd *.txt ' cmd '*.txt'
    check 'cmd \"quoted words\" a\\b ' cmd '"quoted words"' 'a\b'
    check 'cmd \00e9 ' cmd é
    ;;

failure-headless)
    # With no display the box cannot be shown; the run still ends with the code.
    run -all notepad.exe notepad.exe
    expect_status 6 "headless failure"
    expect_err 'CreateProcessAsUser() failed (error 6)\r\n' "headless failure"
    expect_quiet_stdout "headless failure"
    ;;

failure-box)
    # Under Xvfb the box really appears, and the run waits until it is dismissed.
    exec 3>"$work/display"
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    trap 'WINEDEBUG=-all wineserver -k 2>/dev/null; kill $xvfb 2>/dev/null; rm -rf "$work"' EXIT
    for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$work/display")"
    # A running Wine keeps the desktop it made without a display: start afresh.
    WINEDEBUG=-all wineserver -k 2>/dev/null || true

    WINEDEBUG=-all wine "$exe" u notepad.exe >"$work/out" 2>"$work/err" </dev/null &
    trustrun=$!
    box=""
    for _ in $(seq 300); do
        box=$(xdotool search --name '^Error$' 2>/dev/null | head -1) && [ -n "$box" ] && break
        sleep 0.1
    done
    [ -n "$box" ] || fail "no window named Error appeared"
    expect_err 'CreateProcessAsUser() failed (error 6)\r\n' "the line comes before the box"
    sleep 0.5
    kill -0 "$trustrun" 2>/dev/null || fail "trustrun ended while the box was up"
    if [ -n "${TRUSTRUN_ARTIFACTS:-}" ]; then
        import -window "$box" "$TRUSTRUN_ARTIFACTS/error-box.png"
    fi
    xdotool windowfocus --sync "$box" key Return
    set +e
    wait "$trustrun"
    status=$?
    set -e
    expect_status 6 "after the box was dismissed"
    ;;

imports)
    headers=$("$OBJDUMP" -f -p "$exe")
    grep -q "file format pei-i386" <<<"$headers" || fail "not a PE32 i386 file"
    grep -q "^Magic.*(PE32)" <<<"$headers" || fail "not PE32"
    grep -q "^Subsystem.*(Windows CUI)" <<<"$headers" || fail "not a console executable"
    dlls=$(sed -n 's/^\tDLL Name: //p' <<<"$headers" | sort | tr '\n' ' ')
    [ "$dlls" == "ADVAPI32.dll KERNEL32.dll USER32.dll msvcrt.dll " ] || fail "imports [$dlls]"
    # The functions each DLL is asked for, as "DLL function" lines.
    imported=$(awk '/^\tDLL Name:/ {dll=$3} dll && NF==3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3}' <<<"$headers")
    for pair in "ADVAPI32.dll SaferCreateLevel" "ADVAPI32.dll SaferComputeTokenFromLevel" \
        "ADVAPI32.dll SaferCloseLevel" "ADVAPI32.dll CreateProcessAsUserA" \
        "USER32.dll MessageBoxA" "KERNEL32.dll FormatMessageA" "KERNEL32.dll LocalFree" \
        "KERNEL32.dll CloseHandle" "KERNEL32.dll GetLastError" "msvcrt.dll fwprintf"; do
        grep -qx "$pair" <<<"$imported" || fail "does not import $pair"
    done
    ;;

*)
    fail "unknown group"
    ;;
esac
echo "ok [$group]"
