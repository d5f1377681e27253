# Shared shell functions for running programs under Wine in throw-away
# prefixes. Sourced by wine-run, the end-to-end tests and the demo run.
#
# A template prefix per architecture is made once (wineboot takes ~15 s) and
# cloned for every run: the large, read-only DLL folders are hard-linked, the
# rest (registry files included, which Wine rewrites in place) is copied, so a
# clone costs well under a second and a run never changes the template. Clones
# belong on the template's file system (callers make them next to it); on
# another one the DLL folders are copied instead.
# Files in system32/syswow64 of a clone are shared with the template: replace
# them with `wine_plant`, never by writing into them.

: "${WINEDEBUG:=-all}"
export WINEDEBUG
# No Mono or Gecko installers: nothing here needs them and they would ask.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# The Wine loaders, called directly: a 64-bit prefix is always started
# through the 64-bit loader (which hands 32-bit programs to the 32-bit one by
# itself), so nothing for 64-bit programs depends on the `wine` wrapper, which
# prefers the 32-bit loader whenever it is installed.
WINE64_LOADER=${WINE64_LOADER:-/usr/lib/wine/wine64}
WINE32_LOADER=${WINE32_LOADER:-/usr/lib/wine/wine}
_wine_lib_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# Exit code of a test that cannot run on this machine; CTest reports it as
# skipped (SKIP_RETURN_CODE).
WINE_SKIP_CODE=77

# How many times slower than natively programs run here: the emulated 32-bit
# lane sets it (scripts/test-all); every time limit below is multiplied by it.
LAUNCHER_TIME_FACTOR=${LAUNCHER_TIME_FACTOR:-1}
wine_limit() { echo $(($1 * LAUNCHER_TIME_FACTOR)); }

# wine_loader ARCH -> the loader for a prefix of ARCH (win64 or win32).
wine_loader() {
    if [ "$1" = win64 ]; then echo "$WINE64_LOADER"; else echo "$WINE32_LOADER"; fi
}

# wine_check ARCH: makes sure Wine can run here what a test needs, within
# seconds. The programs under test are 32-bit when WINE_TEST_BITS is 32 (the
# 32-bit build's tests set it), and a win32 prefix needs 32-bit Wine; on a
# machine that cannot execute 32-bit x86 code this prints why and exits with
# WINE_SKIP_CODE. A loader that does not start is an error (exit 1) naming
# the loader and what it said.
wine_check() {
    local arch=$1 loader out
    if [ "${WINE_TEST_BITS:-64}" = 32 ] || [ "$arch" = win32 ]; then
        # scripts/test-all says why it could not run them in an emulated guest.
        if [ -n "${LAUNCHER_WIN32_SKIP:-}" ]; then
            echo "skipped: $LAUNCHER_WIN32_SKIP" >&2
            exit "$WINE_SKIP_CODE"
        fi
        if ! "$_wine_lib_dir/machine-kind" --quiet; then
            echo "skipped: this machine cannot run 32-bit x86 code, which 32-bit Wine needs" \
                "(programs under test: ${WINE_TEST_BITS:-64}-bit, prefix: $arch)" >&2
            exit "$WINE_SKIP_CODE"
        fi
        # Installed by scripts/install-deps where the mirror can serve it.
        if [ ! -x "$WINE32_LOADER" ]; then
            echo "skipped: 32-bit Wine is not installed ($WINE32_LOADER is missing;" \
                "scripts/install-deps could not install wine32:i386)" >&2
            exit "$WINE_SKIP_CODE"
        fi
    fi
    loader=$(wine_loader "$arch")
    if ! out=$(timeout "$(wine_limit 30)" "$loader" --version 2>&1); then
        echo "wine-lib: Wine cannot start: $loader --version failed: ${out:-no output}" >&2
        exit 1
    fi
}

# wine_template ROOT ARCH -> prints the path of a ready template prefix.
# Exits (after wine_check) when Wine cannot run here or the prefix cannot be
# made.
wine_template() {
    local root=$1 arch=$2 dir loader
    wine_check "$arch"
    loader=$(wine_loader "$arch")
    dir="$root/$arch"
    mkdir -p "$root"
    (
        flock 9
        if [ ! -e "$dir/.ready" ]; then
            rm -rf "$dir"
            if ! WINEARCH=$arch WINEPREFIX="$dir" timeout "$(wine_limit 300)" "$loader" wineboot -i >/dev/null 2>&1; then
                echo "wine-lib: making the $arch template prefix failed ($loader wineboot -i)" >&2
                WINEPREFIX="$dir" wineserver -k >/dev/null 2>&1
                exit 1
            fi
            # Headless: the null graphics driver lets message boxes exist
            # without a display (another program can find and answer them).
            WINEPREFIX="$dir" "$loader" reg add 'HKCU\Software\Wine\Drivers' \
                /v Graphics /d null /f >/dev/null 2>&1
            WINEPREFIX="$dir" wineserver -w
            touch "$dir/.ready"
        fi
    ) 9>"$root/.$arch.lock" || exit 1
    echo "$dir"
}

# wine_clone TEMPLATE DEST: a fresh prefix at DEST.
wine_clone() {
    local template=$1 dest=$2 sub
    mkdir -p "$dest"
    (cd "$template" && find . -mindepth 1 -maxdepth 1 ! -name drive_c ! -name .ready \
        -exec cp -a {} "$dest"/ \;)
    mkdir -p "$dest/drive_c"
    (cd "$template/drive_c" && find . -mindepth 1 -maxdepth 1 ! -name windows \
        -exec cp -a {} "$dest/drive_c"/ \;)
    mkdir -p "$dest/drive_c/windows"
    (cd "$template/drive_c/windows" && find . -mindepth 1 -maxdepth 1 \
        ! -name system32 ! -name syswow64 -exec cp -a {} "$dest/drive_c/windows"/ \;)
    for sub in system32 syswow64; do
        [ -d "$template/drive_c/windows/$sub" ] || continue
        # Hard links need the same file system; elsewhere copy (slower).
        cp -al "$template/drive_c/windows/$sub" "$dest/drive_c/windows/$sub" 2>/dev/null ||
            { rm -rf "$dest/drive_c/windows/$sub"; cp -a "$template/drive_c/windows/$sub" "$dest/drive_c/windows/$sub"; }
    done
}

# How long a run's wineserver outlives the last Windows process of its
# prefix. It stays up between the run's Wine starts (which saves seconds on
# each) and is killed at the end of the run; the limit only matters when a run
# is killed before it can stop its server (a test time-out), so no server is
# left behind for good.
WINESERVER_PERSIST=${WINESERVER_PERSIST:-$(wine_limit 120)}

# wine_plant SOURCE DEST: put a copy of SOURCE at DEST without touching a
# file that DEST may share with the template.
wine_plant() {
    rm -f "$2"
    cp "$1" "$2"
}

# wine_start ARCH PROGRAM [ARGS...]: runs PROGRAM in $WINEPREFIX through
# ARCH's loader and returns its exit code. Now and then, on a loaded machine,
# Wine fails to start a program at all (its start.exe prints "ShellExecuteEx
# failed"); the program never ran, so it is started again, twice at most.
wine_start() {
    local loader try code output
    loader=$(wine_loader "$1")
    shift
    output=$(mktemp)
    for try in 1 2 3; do
        "$loader" "$@" | tee "$output"
        code=${PIPESTATUS[0]}
        [ "$code" -ne 0 ] && [ "$try" -lt 3 ] && grep -q "ShellExecuteEx failed" "$output" || break
        echo "wine-lib: Wine did not start $1; starting it again" >&2
        sleep 1
    done
    rm -f "$output"
    return "$code"
}

# wine_set_version PREFIX ARCH win10|win81|win8|win7
# A prefix left at another version would test the wrong platform, so a
# failure is an error.
wine_set_version() {
    if ! (export WINEPREFIX="$1"; wine_start "$2" reg add 'HKCU\Software\Wine' /v Version /d "$3" /f) \
            >/dev/null 2>&1; then
        echo "wine-lib: setting Windows version $3 in $1 failed" >&2
        return 1
    fi
}
