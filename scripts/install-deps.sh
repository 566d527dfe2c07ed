#!/usr/bin/env bash
# Installs every Debian package that building, running and testing strevo needs.
# Idempotent: prints nothing and touches nothing when all packages are present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang-format
  qtbase5-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev libavfilter-dev
  libx264-dev libopenh264-dev libvpx-dev libshine-dev
  libsrt-gnutls-dev librtmp-dev libgnutls28-dev zlib1g-dev libsoundtouch-dev libffmpeg-nvenc-dev
  googletest libgtest-dev libgmock-dev
  ffmpeg
  nginx libnginx-mod-rtmp stunnel4 openssl srt-tools python3
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-base-apps
  gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly gstreamer1.0-libav
  ccache doxygen tmux
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
