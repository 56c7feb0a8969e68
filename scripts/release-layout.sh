# The firmware release's layout for the scripts, and whether a calculator's
# disk image holds a release. Sourced, not run: . scripts/release-layout.sh
#
# A release is three files, one for each role, all named from one set: the
# legacy or the current names, in any letter case. One plain file with a
# current name in the folder puts the current set in force (as the updater's
# release scan decides, session/release_scan.cpp); a folder without exactly
# one file for each role of the set in force, each not empty and no larger
# than its place, holds no release.

# One line per role: role, legacy name, current name, disk offset (bytes),
# room (the most bytes its place holds; 0: up to the end of the disk).
RELEASE_LAYOUT=(
    "application-disk APPSDISK.DAT TAVIX_APP.DAT $((0x500000)) 0"
    "operating-system GIRVAARM.ROM TAVIX_OS.ROM 0 $((0x100000))"
    "master-data MASTER.DAT TAVIX_MASTER.DAT $((0x100000)) $((0x400000))"
)

# release_uses_current_names FOLDER: status 0 when some plain file of FOLDER
# carries a current name.
release_uses_current_names() {
    local path name entry legacy current
    for path in "$1"/*; do
        [[ -f $path ]] || continue
        name=$(basename "$path")
        for entry in "${RELEASE_LAYOUT[@]}"; do
            read -r _ legacy current _ _ <<<"$entry"
            [[ ${name^^} == "$current" ]] && return 0
        done
    done
    return 1
}

# release_files FOLDER: prints "OFFSET<TAB>PATH" for each file of FOLDER's
# release, in the layout's order (PATH is FOLDER/NAME as the folder spells
# it). Status 1, and nothing printed, when FOLDER holds no release.
release_files() {
    local folder=$1 in_force=legacy path name entry legacy current offset room want found size
    local lines=
    release_uses_current_names "$folder" && in_force=current
    for entry in "${RELEASE_LAYOUT[@]}"; do
        read -r _ legacy current offset room <<<"$entry"
        want=$legacy
        [[ $in_force == current ]] && want=$current
        found=()
        for path in "$folder"/*; do
            [[ -f $path ]] || continue
            name=$(basename "$path")
            [[ ${name^^} == "$want" ]] && found+=("$path")
        done
        ((${#found[@]} == 1)) || return 1
        size=$(stat -L -c %s "${found[0]}") || return 1
        ((size > 0 && (room == 0 || size <= room))) || return 1
        lines+="$offset"$'\t'"${found[0]}"$'\n'
    done
    printf '%s' "$lines"
}

# image_holds_file IMAGE FILE OFFSET: status 0 when IMAGE holds FILE's bytes
# from OFFSET on. The image is read with tail, as the Windows package check
# has always read the images written under Wine; one comparison for all.
image_holds_file() {
    local size
    size=$(stat -c %s "$2") || return 1
    cmp -s -n "$size" "$2" <(tail -c "+$(($3 + 1))" "$1" 2>/dev/null)
}

# image_holds_release IMAGE FOLDER: status 0 when IMAGE holds every file of
# FOLDER's release at its offset; 1 when it does not, and prints the path of
# each file it lacks, one a line; 2 when FOLDER holds no release.
image_holds_release() {
    local image=$1 files offset path lacks=0
    files=$(release_files "$2") || return 2
    while IFS=$'\t' read -r offset path; do
        if ! image_holds_file "$image" "$path" "$offset"; then
            printf '%s\n' "$path"
            lacks=1
        fi
    done <<<"$files"
    return "$lacks"
}
