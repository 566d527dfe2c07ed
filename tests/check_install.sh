#!/usr/bin/env bash
# Installs strevo into a temporary prefix and builds the example host against that prefix only,
# once through the CMake package and once through pkg-config; runs both hosts and checks their
# recordings with ffprobe (about 5 s long, one video stream, one audio stream). The installed
# programs run from the prefix on its libraries, and the companion library has a versioned name
# and SONAME of its own.
# Usage: check_install.sh BUILD_DIR HOST_SOURCE_DIR
set -euo pipefail
build=$1
host_src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
fail() { echo "check_install: $*" >&2; exit 1; }

cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(find "$prefix" -name strevo.pc)
[ -n "$pc" ] || fail "no strevo.pc under $prefix"
libdir=$(dirname "$(dirname "$pc")")
export PKG_CONFIG_PATH=$(dirname "$pc")

readelf -d "$libdir/libstrevo-common.so.0" 2>/dev/null | grep -q 'SONAME.*\[libstrevo-common.so.0\]' ||
    fail "no libstrevo-common.so.0 with that SONAME in $libdir"
for program in strevo-cli strevo-gpu-check; do
    [ -x "$prefix/bin/$program" ] || fail "no bin/$program"
    found=$(ldd "$prefix/bin/$program" | sed -n 's/.*libstrevo-common.so.0 => \(.*\) (.*/\1/p')
    [ -n "$found" ] && [ "$(readlink -f "$found")" = "$(readlink -f "$libdir/libstrevo-common.so.0")" ] ||
        fail "bin/$program does not use $libdir/libstrevo-common.so.0"
done
"$prefix/bin/strevo-cli" --list | grep -q X264 || fail "the installed strevo-cli lists no X264"

# Every installed header compiles with the installed tree and the dependencies alone.
(cd "$prefix/include/strevo" && find . -name '*.h' | sort | sed 's|^\./\(.*\)|#include "\1"|') \
    >"$tmp/all_headers.cpp"
# shellcheck disable=SC2046
c++ -std=c++17 -fsyntax-only $(pkg-config --cflags strevo) "$tmp/all_headers.cpp" ||
    fail "the installed headers do not compile on their own"
# And each alone, first in its file: none leans on another included before it.
cflags=$(pkg-config --cflags strevo)
(cd "$prefix/include/strevo" && find . -name '*.h' -printf '%P\n' | sort |
    xargs -P2 -I{} sh -c 'printf "#include \"%s\"\n" "$1" |
        c++ -std=c++17 -fsyntax-only $2 -x c++ - || { echo "$1 does not compile alone" >&2; exit 1; }' \
        _ {} "$cflags") || fail "an installed header does not compile on its own"

cmake -S "$host_src" -B "$tmp/cmake-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/cmake.log" || { cat "$tmp/cmake.log"; fail "CMake configure"; }
cmake --build "$tmp/cmake-build" -j2 >"$tmp/build.log" || { cat "$tmp/build.log"; fail "CMake build"; }
# shellcheck disable=SC2046
c++ -std=c++17 -O2 $(pkg-config --cflags strevo) "$host_src/host.cpp" -o "$tmp/pc-host" \
    $(pkg-config --libs strevo) -Wl,-rpath,"$libdir" || fail "pkg-config build"

# SoundTouch comes with libstrevo: a host that uses it links -lstrevo and nothing of SoundTouch.
# shellcheck disable=SC2046
c++ -std=c++17 -O2 $(pkg-config --cflags strevo) "$(dirname "$0")/install/TempoHost.cpp" \
    -o "$tmp/tempo-host" $(pkg-config --libs strevo) -Wl,-rpath,"$libdir" ||
    fail "a host using soundtouch::SoundTouch does not build against libstrevo alone"
"$tmp/tempo-host" || fail "SoundTouch through libstrevo: wrong tempo or pitch"

# Both run at once (each records in real time); each must use the installed library.
mkdir "$tmp/out-cmake" "$tmp/out-pc"
for host in "$tmp/cmake-build/strevo-host" "$tmp/pc-host"; do
    # grep reads all of ldd's output: with -q it could quit early and, under pipefail, fail ldd.
    ldd "$host" | grep "libstrevo.so.0 => $libdir/" >/dev/null || fail "$host does not use $libdir/libstrevo.so.0"
done
"$tmp/cmake-build/strevo-host" "$tmp/out-cmake" >"$tmp/cmake.path" 2>"$tmp/cmake.err" &
cmake_pid=$!
"$tmp/pc-host" "$tmp/out-pc" >"$tmp/pc.path" 2>"$tmp/pc.err" || fail "the pkg-config host failed"
wait "$cmake_pid" || fail "the CMake host failed"
# At its default level the library says nothing during a clean recording.
for kind in cmake pc; do
    [ ! -s "$tmp/$kind.err" ] || { cat "$tmp/$kind.err"; fail "$kind host: the library wrote to stderr"; }
done

for kind in cmake pc; do
    file=$(cat "$tmp/$kind.path")
    [ -f "$file" ] && [[ $file == "$tmp/out-$kind/"* ]] || fail "$kind host: no recording at '$file'"
    info=$(ffprobe -v error -show_entries format=duration:stream=codec_type -of default=nw=1 "$file")
    duration=$(printf '%s\n' "$info" | sed -n 's/^duration=//p')
    videos=$(printf '%s\n' "$info" | grep -c '^codec_type=video$' || true)
    audios=$(printf '%s\n' "$info" | grep -c '^codec_type=audio$' || true)
    awk -v d="$duration" 'BEGIN { exit !(d >= 4.8 && d <= 5.2) }' ||
        fail "$kind host: duration $duration s, expected about 5 s"
    [ "$videos" = 1 ] && [ "$audios" = 1 ] ||
        fail "$kind host: $videos video and $audios audio streams, expected one of each"
    echo "$kind host: $(basename "$file"), $duration s"
done

# The record-and-stream example: built against the prefix, it records and streams to a local
# nginx for 3 s, printing its outputs' states and a statistics line a second.
stream_src=$(dirname "$host_src")/stream-host
cmake -S "$stream_src" -B "$tmp/stream-build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/stream-cmake.log" &&
    cmake --build "$tmp/stream-build" >>"$tmp/stream-cmake.log" ||
    { cat "$tmp/stream-cmake.log"; fail "the stream host does not build"; }
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$tmp/nginx/record" "$tmp/out-stream"
cat >"$tmp/nginx/nginx.conf" <<CONF
daemon off; master_process off; worker_processes 1;
load_module /usr/lib/nginx/modules/ngx_rtmp_module.so;
error_log $tmp/nginx/error.log info; pid $tmp/nginx/nginx.pid;
events { worker_connections 16; }
rtmp { server { listen 127.0.0.1:$port; application live { live on; record all;
  record_path $tmp/nginx/record; } } }
CONF
/usr/sbin/nginx -e "$tmp/nginx/error.log" -p "$tmp/nginx" -c "$tmp/nginx/nginx.conf" &
nginx_pid=$!
trap 'kill $nginx_pid 2>/dev/null; rm -rf "$tmp"' EXIT
for _ in $(seq 50); do (: >"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done
"$tmp/stream-build/strevo-stream-host" "$tmp/out-stream" "rtmp://127.0.0.1:$port/live/demo" 3 \
    >"$tmp/stream.out" 2>"$tmp/stream.err" || { cat "$tmp/stream.err"; fail "the stream host failed"; }
for line in "output 0: recording" "output 1: connecting" "output 1: live" "output 0: stopped" \
    "output 1: stopped"; do
    grep -q "^$line" "$tmp/stream.out" || { cat "$tmp/stream.out"; fail "stream host: no '$line'"; }
done
grep -Eq '^output 1: [0-9]+ frames, [1-9][0-9]* kbit/s, [0-9]+ lost' "$tmp/stream.out" ||
    { cat "$tmp/stream.out"; fail "stream host: no statistics line with a bit rate"; }
[ -n "$(find "$tmp/out-stream" -name '*.mp4')" ] || fail "stream host: no recording"
echo "stream host: $(wc -l <"$tmp/stream.out") lines, $(grep -c kbit/s "$tmp/stream.out") statistics"
