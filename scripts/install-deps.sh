#!/usr/bin/env bash
# Installs what the build needs on a fresh Debian 12 machine (as root; a
# no-op for other users, who install the same packages themselves).
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends \
  cmake ninja-build g++ make pkg-config googletest libgtest-dev libgmock-dev libbenchmark-dev \
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  python3 wine64 default-jdk-headless junit4
# The command-line tools (CLI11, nlohmann-json) and their tests (libxml2 reads the card map back).
apt-get install -y -q --no-install-recommends libcli11-dev nlohmann-json3-dev libxml2-dev
# The fuzz job: clang with libFuzzer and the sanitizer runtimes, and llvm-cov.
apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev llvm
# The Windows run under Wine (scripts/wine-tests.sh): an X server for its
# windows, a Chinese font and the zh_CN.UTF-8 locale (code page 936, file
# names that Wine converts), Wine's own fonts (the title bars' buttons),
# ImageMagick's import for screenshots.
apt-get install -y -q --no-install-recommends xvfb fonts-wqy-microhei fonts-wine imagemagick locales
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' >>/etc/locale.gen
  locale-gen
fi
