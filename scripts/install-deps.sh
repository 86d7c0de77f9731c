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
# The tools' messages in the user's language: msgfmt compiles po/ (libintl is in libc).
apt-get install -y -q --no-install-recommends gettext
# The Debian package (scripts/deb-test.sh): dpkg-shlibdeps, and bash
# completion to try the package's completion in.
apt-get install -y -q --no-install-recommends dpkg-dev file bash-completion
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

# The 32-bit product under 32-bit Wine (scripts/wine32-tests.sh): Wine's i386
# half; and, for kernels that run no 32-bit code themselves (IA-32 emulation
# switched off), qemu-i386 user-mode emulation and the i386 cross compiler
# for the small shim the emulated Wine needs (scripts/wine32/noreplace.c).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  apt-get update -q
fi
apt-get install -y -q --no-install-recommends wine wine32:i386 qemu-user-static gcc-i686-linux-gnu \
  libc6-dev-i386-cross
# Where 32-bit programs do not start, 32-bit ELF programs go to qemu-i386
# through binfmt_misc (flags: the interpreter opened at registration, so it
# also works inside other mount namespaces; credentials kept). Registered
# once; a machine that already runs them natively is left alone.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null || true
  if [ -e "$binfmt/qemu-i386" ]; then
    echo "install-deps: the qemu-i386 binfmt entry is registered, yet 32-bit Wine does not start" >&2
  elif [ -w "$binfmt/register" ]; then
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:OCF' \
      >"$binfmt/register"
  else
    echo "install-deps: $binfmt is not writable here: no qemu-i386 entry registered, so scripts/wine32-tests.sh" \
      "will skip the 32-bit Wine run on this machine" >&2
  fi
fi
