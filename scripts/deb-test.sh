#!/usr/bin/env bash
# Builds the Debian package from a native build tree (default: debug), installs
# it on this machine and uses it as a user would: the tools and a simulator
# from /usr/bin (format a card image behind the simulated serial reader, copy
# a file on and back), a C program built against the installed headers
# through pkg-config and through find_package, the bash completion, the
# message catalogue and kelvara.jar on a JVM. Purges the package at the end,
# also on failure. Root only (it installs a package); others are told so.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-debug}
if [ "$(id -u)" != 0 ]; then
  echo "deb-test: needs root to install the package; skipped" >&2
  exit 0
fi
if dpkg -s kelvara-sampora >/dev/null 2>&1; then
  echo "deb-test: kelvara-sampora is installed already; remove it first" >&2
  exit 1
fi
build=build/$preset
work=$(mktemp -d /tmp/wqn-deb.XXXXXX)
# (CPack warns that the simulated vendor libraries have no SONAME: they are
# loaded by file name, as their Windows originals are.)
if ! (cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  echo "deb-test: cpack failed" >&2
  rm -rf "$work"
  exit 1
fi
deb=$(ls "$build"/kelvara-sampora_*.deb)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kelvara-sampora >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "deb-test: $*" >&2; exit 1; }

DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "./$deb" >/dev/null

# What the package holds, where Debian users look for it.
for path in /usr/lib/libkelvara.so.1 /usr/lib/libsampora.so.1 /usr/lib/libkelvara.so /usr/include/kelvara.h \
            /usr/lib/pkgconfig/kelvara.pc /usr/lib/cmake/Kelvara/KelvaraConfig.cmake /usr/bin/kelvara /usr/bin/sampora \
            /usr/bin/kelvara-serial-sim /usr/share/man/man1/kelvara.1 /usr/share/java/kelvara.jar \
            /usr/share/bash-completion/completions/kelvara /usr/share/bash-completion/completions/sampora \
            /usr/share/locale/zh_CN/LC_MESSAGES/wqn-tools.mo; do
  dpkg -S "$path" >/dev/null 2>&1 || fail "the package does not hold $path"
done
for lib in kelvara sampora; do
  objdump -p "/usr/lib/lib$lib.so" | grep -q "SONAME *lib$lib.so.1$" || fail "lib$lib.so has not the SONAME lib$lib.so.1"
done
dpkg -s kelvara-sampora | grep -q '^Depends:.*libc6' || fail "the package names no dependency on libc6"

# The installed tool on the installed simulator: a file onto a new card and back.
cd "$work"
printf '<return year="2025"><tax>8120</tax></return>\n' > return.xml
mkdir back
kelvara-serial-sim --image card.img > sim.out &
sim_pid=$!
port=
for _ in $(seq 100); do
  port=$(head -n 1 sim.out 2>/dev/null || true)
  [ -n "$port" ] && [ -e "$port" ] && break
  port=
  sleep 0.1
done
[ -n "$port" ] || fail "the installed simulator gave no port"
export WQN_COM1=$port WQN_COM2=/nonexistent/com2 KELVARA_SETTINGS=$work/settings.ini
kelvara --batch check -- format -- put '\tax' return.xml -- get back '\tax\return.xml' >/dev/null
cmp return.xml back/return.xml || fail "the file did not come back whole through the installed tool"
# Its message catalogue, from the standard place.
LANGUAGE=zh_CN LC_ALL=zh_CN.UTF-8 kelvara --image missing.img ls 2>zh.err && fail "ls of a missing image succeeded"
LC_ALL=C.UTF-8 kelvara --image missing.img ls 2>en.err || true
cmp -s zh.err en.err && fail "the zh_CN catalogue changed nothing: $(cat en.err)"

# A program of another project, through pkg-config and through find_package.
cc "$OLDPWD/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs kelvara sampora) -o pc-consumer
./pc-consumer | grep -q "consumer: ok" || fail "the pkg-config consumer failed"
cmake -S "$OLDPWD/tests/install/consumer" -B cmake-build -G Ninja >/dev/null
cmake --build cmake-build >/dev/null
cmake-build/consumer | grep -q "consumer: ok" || fail "the find_package consumer failed"

# The completion offers the tools' commands.
words=$(bash -c 'source /usr/share/bash-completion/completions/kelvara
  COMP_WORDS=(kelvara fs); COMP_CWORD=1; _wqn_tools_complete; echo "${COMPREPLY[*]}"')
[ "$words" = fsck ] || fail "completion of 'kelvara fs' gave '$words'"

# The jar finds libkelvara.so on the JVM's default library path.
if command -v java >/dev/null; then
  cat > Probe.java <<'JAVA'
public class Probe {
    public static void main(String[] args) {
        System.out.println(wqn.vorn.icnative.NativeClass.IsProcessExist("no-such-program.exe") ? "running" : "absent");
    }
}
JAVA
  [ "$(java -cp /usr/share/java/kelvara.jar Probe.java)" = absent ] || fail "kelvara.jar did not reach libkelvara.so"
fi
echo "deb-test: $(basename "$deb") installs, works from /usr and purges"
