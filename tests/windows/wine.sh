# Sourced by the Windows scripts: Wine on a virtual display, with a Russian locale.
dir=${TARNWICK_WINDOWS_BUILD_DIR:-build-windows}

# What the scripts need on this machine, and the Windows build itself; then the
# calling script runs again on a virtual display as SCRIPT --on-display ZIP ARGS...:
#   build_and_rerun_on_display "$0" ARGS...
build_and_rerun_on_display() {
    ./dev install wine64 wine fonts-wine fonts-liberation xvfb xauth x11-utils locales unzip
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    # A Russian UTF-8 locale: Wine derives the Cyrillic ANSI code page from it, and
    # reads the arguments as UTF-8 (without the locale it would strip them to ASCII).
    locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$' || "${sudo[@]}" localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
    # A Japanese one for the ANSI code page 932.
    locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$' || "${sudo[@]}" localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
    local zip
    zip=$(packaging/windows/build)
    # The Linux tool that takes the pictures.
    [ -x "${TARNWICK_BUILD_DIR:-build}/tests/tarnwick-window-shot" ] || ./dev build >/dev/null
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$1" --on-display "$(realpath "$zip")" "${@:2}"
}

# A Wine prefix of this build, ready for windows without a window manager.
prepare_wine() {
    export WINEPREFIX=${WINEPREFIX:-$PWD/$dir/wine}
    export WINEDEBUG=-all
    export LC_ALL=ru_RU.UTF-8    # Wine takes the ANSI code page from the locale (1251); arguments stay UTF-8
    [ -f "$WINEPREFIX/.prepared" ] && return
    wine wineboot --init >/dev/null 2>&1 || true
    # Unmanaged windows: without a window manager Wine would wait ~2 s after each closed dialog.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
    # Debian's Wine does not find fonts-wine's fonts by itself (Tahoma, and Marlett for the title bar).
    cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    # Courier New, for the About window's title: Liberation Mono has its metrics.
    cp /usr/share/fonts/truetype/liberation/LiberationMono-*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Courier New' /d 'Liberation Mono' /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.prepared"
}

winpath() { echo "Z:${1//\//\\}"; }

# shoot_window OUT.png EXE [ARGS...]: starts EXE, waits for its window "File
# Tarnwick", saves a picture of it (and OUT-x3.png), closes the program.
# Fails when no window shows within a minute (a missing DLL, a crash).
shoot_window() {
    local out=$1 exe=$2; shift 2
    local shot=${TARNWICK_BUILD_DIR:-build}/tests/tarnwick-window-shot
    wine "$exe" "$@" >/dev/null 2>&1 &
    local program=$! geometry="" i
    for ((i = 0; i < 600; i++)); do
        geometry=$(xwininfo -name "File Tarnwick" 2>/dev/null |
                   awk '/Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
                        /Width:/ {w=$NF} /Height:/ {h=$NF} END {if (w) print x, y, w, h}') && [ -n "$geometry" ] && break
        kill -0 "$program" 2>/dev/null || break
        sleep 0.1
    done
    if [ -n "$geometry" ]; then
        sleep 1   # the start-up classification of the path has painted its status
        # shellcheck disable=SC2086
        "$shot" "$out" --area $geometry
    fi
    wineserver -k 2>/dev/null || true
    { wait "$program"; } 2>/dev/null || true   # killed on purpose: no "Killed" line
    [ -n "$geometry" ] && [ -f "$out" ]
}
