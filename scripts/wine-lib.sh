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

# wine_template ROOT ARCH -> prints the path of a ready template prefix.
wine_template() {
    local root=$1 arch=$2 dir
    dir="$root/$arch"
    mkdir -p "$root"
    (
        flock 9
        if [ ! -e "$dir/.ready" ]; then
            rm -rf "$dir"
            WINEARCH=$arch WINEPREFIX="$dir" wineboot -i >/dev/null 2>&1
            # Headless: the null graphics driver lets message boxes exist
            # without a display (another program can find and answer them).
            WINEPREFIX="$dir" wine reg add 'HKCU\Software\Wine\Drivers' \
                /v Graphics /d null /f >/dev/null 2>&1
            WINEPREFIX="$dir" wineserver -w
            touch "$dir/.ready"
        fi
    ) 9>"$root/.$arch.lock"
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
WINESERVER_PERSIST=${WINESERVER_PERSIST:-120}

# wine_plant SOURCE DEST: put a copy of SOURCE at DEST without touching a
# file that DEST may share with the template.
wine_plant() {
    rm -f "$2"
    cp "$1" "$2"
}

# wine_set_version PREFIX win10|win81|win8|win7
wine_set_version() {
    WINEPREFIX="$1" wine reg add 'HKCU\Software\Wine' /v Version /d "$2" /f >/dev/null 2>&1
}
