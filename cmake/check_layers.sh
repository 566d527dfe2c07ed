#!/usr/bin/env bash
# Fails when a file includes a header of a layer above its own.
#
# The library is built in layers, each a target that links only the layers below it. Every
# target compiles against the whole source root (headers are included by their folder, as a host
# includes the installed ones), so the compiler alone cannot refuse an include that points up;
# this check does. Each folder belongs to one layer, from the bottom:
#
#   common  base  platform  codec  muxer  encoder  api  tools  tests/bench/examples
#
# A file may include headers of its own layer and of the layers below. An include is resolved
# like the compiler resolves it: from the source root ("codec/video/X264.h") or, for a quoted
# name, relative to the including file ("Probe.h", "../unit/Fake.h"); names that resolve to no
# file of the tree (system and dependency headers) are not checked.
#
# Usage: check_layers.sh [SOURCE_ROOT]   (default: the folder above this script)
set -euo pipefail
root=${1:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
cd "$root"

layers="common base platform codec muxer encoder api tools"
# The top: these include anything below them and nothing includes them, so they are not scanned.
top="tests bench examples"

scanned=() tree=()
for folder in $layers $top; do
    [ -d "$folder" ] || continue
    tree+=("$folder")
    case " $top " in *" $folder "*) ;; *) scanned+=("$folder") ;; esac
done

find "${scanned[@]}" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.c' \) |
    LC_ALL=C sort | while IFS= read -r file; do
    grep -HnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]+[>"]' "$file" || true
done | awk -v layers="$layers" -v top="$top" '
# The first input lists the files of the tree, the second the includes as file:line:text.
FNR == NR { files[$0] = 1; next }
function rank(path,    top) {
    top = path; sub(/\/.*/, "", top)
    if (top in ranks) return ranks[top]
    return -1
}
function exists(path) {
    return (path in files)
}
# "a/b/../c/./d.h" -> "a/c/d.h"; a name that climbs above the root yields "".
function normalize(path,    parts, n, i, out, depth, stack) {
    n = split(path, parts, "/")
    depth = 0
    for (i = 1; i <= n; i++) {
        if (parts[i] == "" || parts[i] == ".") continue
        if (parts[i] == "..") { if (depth == 0) return ""; depth--; continue }
        stack[++depth] = parts[i]
    }
    out = ""
    for (i = 1; i <= depth; i++) out = out (i > 1 ? "/" : "") stack[i]
    return out
}
BEGIN {
    n = split(layers, order, " ")
    for (i = 1; i <= n; i++) ranks[order[i]] = i
    m = split(top, order, " ")
    for (i = 1; i <= m; i++) ranks[order[i]] = n + 1
    failures = 0
}
{
    # file:line:text
    file = $0; sub(/:.*/, "", file)
    rest = substr($0, length(file) + 2)
    line = rest; sub(/:.*/, "", line)
    text = substr(rest, length(line) + 2)
    match(text, /[<"][^>"]+[>"]/)
    name = substr(text, RSTART + 1, RLENGTH - 2)
    quoted = substr(text, RSTART, 1) == "\""

    target = ""
    if (quoted) {
        dir = file; sub(/\/[^\/]*$/, "", dir)
        local = normalize(dir "/" name)
        if (local != "" && exists(local)) target = local
    }
    if (target == "") {
        fromRoot = normalize(name)
        if (fromRoot != "" && rank(fromRoot) > 0 && exists(fromRoot)) target = fromRoot
    }
    if (target == "") next

    own = rank(file); theirs = rank(target)
    if (theirs > own) {
        ownLayer = file; sub(/\/.*/, "", ownLayer)
        theirLayer = target; sub(/\/.*/, "", theirLayer)
        printf "%s:%s: includes \"%s\": layer %s may not include layer %s, which is above it\n", \
            file, line, name, ownLayer, theirLayer
        failures++
    }
}
END {
    if (failures > 0) {
        printf "%d include(s) point up the layers (%s, from the bottom)\n", failures, layers
        exit 1
    }
}' <(find "${tree[@]}" -type f) -
echo "layers OK: every include points down ($layers, from the bottom)"
