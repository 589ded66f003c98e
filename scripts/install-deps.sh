#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# fuzz targets need. Runs as root on a fresh Debian 12 machine; packages that
# are already present are skipped, and nothing is fetched when all are.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkgconf
  libgtest-dev libgmock-dev libbenchmark-dev
  libpcre2-dev zlib1g-dev libssl-dev openssl
  libsqlite3-dev libmicrohttpd-dev libsodium-dev
  clang libclang-rt-14-dev
  libmilter-dev postfix miltertest
  scdoc dpkg-dev file
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
# Postfix asks how it should be set up; the milter's tests give it a
# configuration of their own, so none is chosen here.
echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
