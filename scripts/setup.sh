#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the demo need.
# Safe to run again; needs root (or sudo) on Debian 12.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ca-certificates
  libsqlite3-dev libssl-dev libcurl4-openssl-dev libmspack-dev libsmbclient-dev
  # the conversation between the windows and the engine service
  libprotobuf-dev protobuf-compiler
  # the desktop windows: Qt 6 Widgets and SVG, uic/moc/rcc
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6 qt6-qpa-plugins libgl-dev
  # tests: frameworks, servers and fixture makers
  libgtest-dev libgmock-dev libbenchmark-dev nettle-dev
  libcpp-httplib-dev python3 python3-pyftpdlib samba smbclient
  gcab osslsigncode openssl
  # qrvpublish: release files and cabinets; a software token and OpenSSL's
  # PKCS#11 engine for its hardware-key test
  libtomlplusplus-dev libgcab-dev softhsm2 libengine-pkcs11-openssl
  # a private session bus for the tray balloons' notification-service test
  dbus-daemon
  # the boot unit of the replacement queue is checked by systemd-analyze
  systemd
  # pictures of the real windows: a virtual X server and a Korean font
  xvfb xauth fonts-nanum
  # pictures of the automatic run: a tray host and a notification daemon on
  # the virtual X server (the private bus is dbus-daemon's, above)
  trayer dunst
  # benchmark references
  curl cabextract
  # the Debian package (scripts/package.sh) and its check
  # (scripts/check_package.sh): dpkg-shlibdeps and the ELF test CPack uses,
  # the man pages' and icons' converters, the validators
  dpkg-dev file scdoc librsvg2-bin lintian desktop-file-utils appstream man-db
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    as_root=(sudo)
  else
    echo "setup: missing packages (${missing[*]}) and not root; run as root" >&2
    exit 1
  fi
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -o DPkg::Lock::Timeout=600
"${as_root[@]}" apt-get install -y --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
