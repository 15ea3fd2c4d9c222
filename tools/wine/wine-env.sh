# Sourced by the front door and by the CTest emulator: the project-local Wine prefixes of a build root.
# Usage: source tools/wine/wine-env.sh; suite_wine_prepare
# $SUITE_BUILD/wineprefix is the prefix tests share; SUITE_WINEPREFIX names another one (a test's own,
# see tools/wine/own-prefix). Every prefix is a copy of $SUITE_BUILD/wineprefix-template, which is
# made once with the settings below and in which nothing ever runs afterwards.
SUITE_ROOT="${SUITE_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}"
SUITE_BUILD="${SUITE_BUILD:-$SUITE_ROOT/build}"
export WINEPREFIX="${SUITE_WINEPREFIX:-$SUITE_BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko install prompts while the prefix is made.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# A 64-bit (WoW64) prefix like a 64-bit Windows; SUITE_WINEARCH=win32 makes a 32-bit one (Windows XP).
export WINEARCH="${SUITE_WINEARCH:-win64}"
# One template per architecture: a 32-bit prefix cannot be a copy of a 64-bit one.
SUITE_TEMPLATE_PREFIX="$SUITE_BUILD/wineprefix-template${SUITE_WINEARCH:+-$SUITE_WINEARCH}"

# Some kernels here run with 32-bit emulation switched off (dmesg: "32-bit emulation disabled").
# wine32's loader is an i386 ELF, so it then runs under qemu-i386 through binfmt_misc. qemu must
# reserve a 2 GiB guest space: with the default layout Wine's start-up address reservation probes
# tens of thousands of ranges and a process takes about a minute to start.
suite_native_i386() {
    /lib/ld-linux.so.2 --version >/dev/null 2>&1
}

suite_qemu_binfmt() {
    local reg=/proc/sys/fs/binfmt_misc
    if [ ! -e "$reg/qemu-i386" ] && ! suite_native_i386; then
        if [ ! -e "$reg/register" ]; then
            mount -t binfmt_misc binfmt_misc "$reg" 2>/dev/null || true
        fi
        [ -x /usr/bin/qemu-i386-static ] || { echo "wine-env: 32-bit programs cannot run here and qemu-i386-static is missing" >&2; return 1; }
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
            > "$reg/register" 2>/dev/null || { echo "wine-env: cannot register qemu-i386 with binfmt_misc (need root)" >&2; return 1; }
    fi
    # Once registered, every i386 program (the Wine loader included) runs under qemu.
    if [ -e "$reg/qemu-i386" ]; then
        export QEMU_RESERVED_VA=0x7fff0000
        suite_qemu_guest_base
        suite_qemu_tls_shim || return 1
    fi
    return 0
}

# Wine's server reads and writes another process's memory (ReadProcessMemory, DbgHelp) at the
# guest address; that is the host address only when qemu's guest base is 0. qemu can reserve the
# low 2 GiB from 0x10000 when the kernel itself refuses lower mappings (vm.mmap_min_addr 65536,
# the usual default); with a smaller value qemu asks for 0x1000 and fails.
suite_qemu_guest_base() {
    local min_addr
    min_addr="$(cat /proc/sys/vm/mmap_min_addr 2>/dev/null || echo 65536)"
    if [ "$min_addr" -lt 65536 ]; then
        echo 65536 > /proc/sys/vm/mmap_min_addr 2>/dev/null ||
            echo "wine-env: vm.mmap_min_addr is $min_addr; set it to 65536 (as root) for cross-process reads" >&2
    fi
    export QEMU_GUEST_BASE=0
}

# qemu shares one GDT between a process's threads, which breaks Wine as soon as a process has two
# secondary threads (see qemu-tls/qemu_tls_shim.c). The shim is preloaded into every Wine process;
# $LIB picks the 32-bit build for the Wine loader and an empty 64-bit twin for wineserver & co.
suite_qemu_tls_shim() {
    local src="$SUITE_ROOT/tools/wine/qemu-tls"
    local out="$SUITE_BUILD/qemu-tls"
    local lib32="$out/lib/i386-linux-gnu/libsuiteqemutls.so"
    local lib64="$out/lib/x86_64-linux-gnu/libsuiteqemutls.so"
    if [ ! -f "$lib32" ] || [ "$src/qemu_tls_shim.c" -nt "$lib32" ] || [ ! -f "$lib64" ]; then
        mkdir -p "$(dirname "$lib32")" "$(dirname "$lib64")"
        gcc -m32 -O2 -shared -fPIC -o "$lib32.tmp" "$src/qemu_tls_shim.c" -ldl -lpthread &&
            gcc -O2 -shared -fPIC -o "$lib64.tmp" "$src/empty_shim.c" &&
            mv "$lib32.tmp" "$lib32" && mv "$lib64.tmp" "$lib64" ||
            { echo "wine-env: cannot build the qemu TLS shim (gcc-multilib missing?)" >&2; return 1; }
    fi
    export LD_PRELOAD="$out/\$LIB/libsuiteqemutls.so"
}

suite_wine_setting() {
    wine reg add "$@" /f >/dev/null 2>&1
}

# Windows links its interface faces to fonts that carry the scripts they lack. Wine's rich edit
# shapes every run with the glyph indices of the one font a face resolves to and never reaches a
# linked font, and a face missing from the prefix (Tahoma: Debian's wine comes without its fonts)
# resolves to the first font it links to. So the first link is one font with Thai and Chinese:
# Debian's Loma (fonts-thai-tlwg) with the characters of WenQuanYi Micro Hei (fonts-wqy-microhei)
# added, made once per build tree by combine_fonts.py and copied into the prefix's Fonts folder.
suite_cjk_fonts() {
    local out="$SUITE_BUILD/fonts" tlwg=/usr/share/fonts/truetype/tlwg style
    for style in "" -Bold; do
        [ -f "$out/loma-wqy$style.ttf" ] && continue
        mkdir -p "$out" &&
            /usr/bin/python3 "$SUITE_ROOT/tools/wine/combine_fonts.py" "$tlwg/Loma$style.ttf" \
                /usr/share/fonts/truetype/wqy/wqy-microhei.ttc 0 "Loma WQY" "$out/loma-wqy$style.ttf.$$" &&
            mv "$out/loma-wqy$style.ttf.$$" "$out/loma-wqy$style.ttf" ||
            { echo "wine-env: cannot make $out/loma-wqy$style.ttf (python3-fonttools missing?)" >&2; return 1; }
    done
}

suite_font_links() {
    local face view links='Loma.ttf,Loma'
    if suite_cjk_fonts; then
        mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
        cp "$SUITE_BUILD"/fonts/loma-wqy*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
        links='loma-wqy.ttf,Loma WQY'
    fi
    for face in Tahoma "Microsoft Sans Serif" "MS Shell Dlg" "MS Shell Dlg 2"; do
        for view in 64 32; do
            suite_wine_setting 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v "$face" \
                /t REG_MULTI_SZ /d "$links" /reg:$view
        done
    done
}

# The marker holds the version of the set-up below: bump it when the set-up changes, so that a prefix
# made by an older one (the template and every copy of it) is made again.
SUITE_PREFIX_SETUP=2
suite_prefix_ready() {
    [ "$(cat "$1/.suite-ready" 2>/dev/null)" = "$SUITE_PREFIX_SETUP" ]
}

# Makes the prefix on first use, as a copy of the template (about 2 s natively); later calls only
# check a marker. Locks keep parallel tests from making the template or one prefix twice.
suite_wine_prepare() {
    suite_qemu_binfmt || return 1
    suite_prefix_ready "$WINEPREFIX" && return 0
    suite_wine_template || return 1
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        suite_prefix_ready "$WINEPREFIX" && exit 0
        [ -d "$WINEPREFIX" ] && suite_wineserver_down
        rm -rf "$WINEPREFIX" "$WINEPREFIX.part"
        cp -a "$SUITE_TEMPLATE_PREFIX" "$WINEPREFIX.part" && mv "$WINEPREFIX.part" "$WINEPREFIX" ||
            { echo "wine-env: cannot copy the template prefix to $WINEPREFIX" >&2; exit 1; }
    ) 9>"$WINEPREFIX.lock"
}

suite_wine_template() {
    suite_prefix_ready "$SUITE_TEMPLATE_PREFIX" && return 0
    mkdir -p "$(dirname "$SUITE_TEMPLATE_PREFIX")"
    (
        flock 9
        suite_prefix_ready "$SUITE_TEMPLATE_PREFIX" && exit 0
        export WINEPREFIX="$SUITE_TEMPLATE_PREFIX"
        [ -d "$WINEPREFIX" ] && suite_wineserver_down
        rm -rf "$WINEPREFIX"
        wineboot -i >/dev/null 2>&1 || { echo "wine-env: wineboot failed for $WINEPREFIX" >&2; exit 1; }
        # Windows without a display.
        suite_wine_setting 'HKCU\Software\Wine\Drivers' /v Graphics /d null
        # An unhandled crash must end the process at once, not wait for an invisible debugger.
        suite_wine_setting 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0
        suite_font_links
        wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f /reg:64 >/dev/null 2>&1
        wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f /reg:32 >/dev/null 2>&1
        # Everything written to disk and no process left: the copies start from a quiet prefix.
        wineserver -w
        echo "$SUITE_PREFIX_SETUP" > "$WINEPREFIX/.suite-ready"
    ) 9>"$SUITE_TEMPLATE_PREFIX.lock"
}

# Keeps one wineserver up for a whole test run (start-up drops from ~0.5 s to a few ms).
# The first program started also starts Wine's own services (services.exe, winedevice, ...), which
# stay up with the wineserver and keep that program's output open; started here with their output
# on /dev/null, they cannot hold a test's output pipe open after the test has ended.
suite_wineserver_up() {
    wineserver -p >/dev/null 2>&1 </dev/null || true
    wine cmd.exe /c exit >/dev/null 2>&1 </dev/null || true
}
suite_wineserver_down() { wineserver -k >/dev/null 2>&1 || true; wineserver -w >/dev/null 2>&1 || true; }
# Stops what a test stopped from outside (a CTest time-out) left running in its own prefix.
suite_own_prefixes_down() {
    local p
    for p in "$SUITE_BUILD"/wineprefixes/*/; do
        # With nothing left over the pattern stays unexpanded; that is not a failure of the caller.
        if [ -d "$p" ]; then WINEPREFIX="${p%/}" wineserver -k >/dev/null 2>&1 || true; fi
    done
    return 0
}

# Runs a Windows program in the prefix and passes its output on once it has ended. What the program
# starts (an uploader that outlives a test, a child caught half-created when a test killed its parent)
# inherits a temporary file instead of the caller's pipe, so CTest never waits on it after the test.
suite_wine_run_captured() {
    local out rc=0
    out="$(mktemp)"
    wine "$@" >"$out" 2>&1 || rc=$?
    cat "$out"
    rm -f "$out"
    return $rc
}
