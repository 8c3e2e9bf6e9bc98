#!/usr/bin/env bash
# Builds the Debian package from a Release build (build-package/), installs it on this
# machine, runs every installed program once the way the host does, checks that the
# manual pages render, removes the package and checks that nothing is left. Needs
# root (CI runs as root; otherwise sudo) and the packages of scripts/deps.sh.
#
# The checks run from a scratch folder with the programs found on PATH in /usr/bin,
# so nothing comes from the build folder. zentcap and zentlock get a private Xvfb
# (-displayfd, as in scripts/demo.sh); zentrec --microfonos gets no sound server.
# Everything started here is stopped at the end, and the package is removed even when
# a check fails.
#   scripts/package_test.sh [build dir]
# Without an argument the package comes from a Release build in build-package/; CI
# passes the build scripts/test.sh has just made and tested (RelWithDebInfo), so that
# nothing is compiled twice.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${1:-build-package}
package=zentori-helpers
programs=(zentcap zentrec zentlock zentcap_receiver)
SECONDS=0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi

fail() {
  echo "package: FALLO: $*" >&2
  exit 1
}

. scripts/private_xvfb.sh
started=()
installed=0
work=$(mktemp -d)
cleanup() {
  local pid
  for pid in "${started[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  if [ "$installed" -eq 1 ]; then
    $sudo dpkg -r "$package" >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- build and package --------------------------------------------------------------
# Only what the package holds is built: CMAKE_SKIP_INSTALL_ALL_DEPENDENCY keeps cpack
# from building "all" (the scripted backend, the demo's animator) first.
if [ $# -eq 0 ]; then
  echo "package: compilación Release en $dir/"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZENT_TESTS=OFF -DZENT_BENCH=OFF \
    -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
else
  echo "package: con la compilación de $dir/"
  [ -f "$dir/CMakeCache.txt" ] || fail "$dir no es una compilación configurada"
  cmake -S . -B "$dir" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
fi
cmake --build "$dir" -j2 --target "${programs[@]}" man_pages >"$work/build.log" 2>&1 ||
  { tail -n 40 "$work/build.log" >&2; fail "la compilación falló"; }
rm -f "$dir"/${package}_*.deb
(cd "$dir" && cpack -G DEB >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack falló"; }
debs=("$dir"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack no dejó un único ${package}_*.deb en $dir"
deb=$root/${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"
dpkg-deb -f "$deb" Package Version Architecture Depends | sed 's/^/  /'
[ -n "$(dpkg-deb -f "$deb" Depends)" ] || fail "el paquete no tiene Depends (¿dpkg-shlibdeps?)"

# Exactly the programs, their manual pages and the README: no tests, benchmarks or tools.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort >"$work/contents"
{
  for program in "${programs[@]}"; do
    echo "usr/bin/$program"
    echo "usr/share/man/man1/$program.1.gz"
  done
  echo "usr/share/doc/$package/README.md"
} | sort >"$work/expected"
if ! diff -u "$work/expected" "$work/contents" >&2; then
  fail "el paquete no contiene exactamente lo esperado"
fi

# --- install --------------------------------------------------------------------------
echo "package: apt-get install ./$(basename "$deb")"
installed=1
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=120 "$deb" >"$work/apt.log" 2>&1 ||
  { cat "$work/apt.log" >&2; fail "apt-get install falló"; }
dpkg-query -W -f='${Status}\n' "$package" | grep -q 'install ok installed' || fail "dpkg no lo da por instalado"

# From here on: a folder that is not the build, and only what PATH finds.
cd "$work"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
unset DISPLAY PULSE_SERVER
for program in "${programs[@]}"; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] ||
    fail "$program no se encuentra en /usr/bin (command -v: $(command -v "$program" || echo nada))"
  if readelf -d "/usr/bin/$program" | grep -qE 'RPATH|RUNPATH'; then
    fail "/usr/bin/$program lleva RPATH/RUNPATH"
  fi
done

# A private X server for zentcap and zentlock.
start_private_xvfb "$work" 1280x720x24 || fail "Xvfb no arrancó"
display=$private_display

# zentcap --permiso: 0 without a display, 1 with one.
[ "$(zentcap --permiso)" = 0 ] || fail "zentcap --permiso sin pantalla no dio 0"
[ "$(DISPLAY=$display zentcap --permiso)" = 1 ] || fail "zentcap --permiso en $display no dio 1"
echo "package: zentcap --permiso: 0 sin pantalla, 1 en $display"

# zentrec --microfonos with no sound server: one JSON line, an empty list, status 0.
# PULSE_SERVER points at a socket that does not exist, so nothing is reached or started.
printf 'autospawn = no\n' >"$work/client.conf"
microfonos=$(PULSE_SERVER="unix:$work/sin-servidor" PULSE_CLIENTCONFIG="$work/client.conf" \
  zentrec --microfonos 2>"$work/zentrec.log") || { cat "$work/zentrec.log" >&2; fail "zentrec --microfonos falló"; }
echo "package: zentrec --microfonos: $microfonos"
python3 -c 'import json, sys
value = json.loads(sys.argv[1])
assert isinstance(value["microfonos"], list) and isinstance(value["sugerido"], str)' "$microfonos" ||
  fail "zentrec --microfonos no escribió la línea JSON esperada"

# Five seconds of zentcap into zentcap_receiver, as a host would stream. zentcap sends
# a frame when the screen changes, so a clock ticking every second gives it some.
DISPLAY=$display xclock -update 1 -geometry 220x220+40+40 2>/dev/null &
started+=($!)
set +e
sleep 5 | DISPLAY=$display zentcap 1 1280 720 30 4000000 0 2>"$work/zentcap.log" |
  zentcap_receiver --png "$work/snapshot.png" >"$work/stats.json" 2>"$work/receiver.log"
statuses=("${PIPESTATUS[@]}")
set -e
if [ "${statuses[1]}" -ne 0 ] || [ "${statuses[2]}" -ne 0 ]; then
  cat "$work/zentcap.log" "$work/receiver.log" >&2
  fail "zentcap terminó con ${statuses[1]}, zentcap_receiver con ${statuses[2]}"
fi
[ -s "$work/snapshot.png" ] || fail "zentcap_receiver no escribió el PNG"
python3 - "$work/stats.json" <<'PY' || fail "las estadísticas del flujo no son las esperadas"
import json, sys
stats = json.load(open(sys.argv[1]))
frames = stats["frames"]
print(f"package: zentcap -> zentcap_receiver: {frames} frames ({stats['key_frames']} key), "
      f"{stats['width']}x{stats['height']}, {stats['decode_errors']} decode errors")
assert frames >= 3 and stats["decoded_frames"] == frames and stats["decode_errors"] == 0, "no frames"
PY

# zentlock blocking and releasing on the private display.
# (timeout: a zentlock that never ends cannot hang the run.)
coproc ZENTLOCK { DISPLAY=$display exec timeout 15 zentlock 2>"$work/zentlock.log"; }
started+=($ZENTLOCK_PID)
lock_pid=$ZENTLOCK_PID
lock_in=${ZENTLOCK[1]}
lock_out=${ZENTLOCK[0]}
expect_line() {
  local line
  IFS= read -r -t 5 -u "$lock_out" line || { cat "$work/zentlock.log" >&2; fail "zentlock no contestó (esperaba $1)"; }
  [ "$line" = "$(printf "$1")" ] || { cat "$work/zentlock.log" >&2; fail "zentlock contestó '$line', esperaba $1"; }
}
printf 'bloquear\n' >&"$lock_in"
expect_line 'estado\t1\tganchos'
printf 'soltar\n' >&"$lock_in"
expect_line 'estado\t0\tpedido'
exec {lock_in}>&-
set +e
wait "$lock_pid"
status=$?
set -e
[ "$status" -eq 0 ] || { cat "$work/zentlock.log" >&2; fail "zentlock terminó con $status al cerrar su entrada"; }
echo "package: zentlock: bloquear -> estado 1 ganchos, soltar -> estado 0 pedido, fin de la entrada -> 0"

# The manual pages. Docker-style Debian images may drop /usr/share/man at install time
# (a path-exclude in /etc/dpkg/dpkg.cfg.d/); there the installed page cannot exist, so
# the page is read from the package itself with man -l instead.
if grep -qsE '^path-exclude[[:space:]=]+/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  echo "package: dpkg excluye /usr/share/man aquí; se comprueban las páginas del paquete con man -l"
  dpkg-deb -x "$deb" "$work/deb"
  for program in "${programs[@]}"; do
    MANWIDTH=80 man -l "$work/deb/usr/share/man/man1/$program.1.gz" 2>&1 >"$work/$program.man" |
      { ! grep .; } || fail "man -l $program avisa de errores"
    grep -q "^SYNOPSIS" "$work/$program.man" || fail "la página de $program no se ve"
  done
else
  for program in "${programs[@]}"; do
    [ "$(man -w "$program")" = "/usr/share/man/man1/$program.1.gz" ] || fail "man -w $program: $(man -w "$program" 2>&1)"
    MANWIDTH=80 man --warnings "$program" 2>"$work/man.log" >"$work/$program.man" ||
      { cat "$work/man.log" >&2; fail "man $program falló"; }
    [ ! -s "$work/man.log" ] || { cat "$work/man.log" >&2; fail "man $program avisa de errores"; }
    grep -q "^SYNOPSIS" "$work/$program.man" || fail "la página de $program no se ve"
  done
fi
echo "package: man zentcap:"
sed -n '1,12p' "$work/zentcap.man" | sed 's/^/  /'

# --- remove ---------------------------------------------------------------------------
$sudo dpkg -r "$package" >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "dpkg -r falló"; }
installed=0
for program in "${programs[@]}"; do
  [ ! -e "/usr/bin/$program" ] || fail "/usr/bin/$program sigue ahí tras dpkg -r"
  [ ! -e "/usr/share/man/man1/$program.1.gz" ] || fail "la página de $program sigue ahí tras dpkg -r"
  ! command -v "$program" >/dev/null || fail "$program se sigue encontrando: $(command -v "$program")"
done
[ ! -e "/usr/share/doc/$package" ] || fail "/usr/share/doc/$package sigue ahí tras dpkg -r"
if dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
  fail "dpkg lo sigue dando por instalado"
fi
echo "package: quitado; no queda nada en /usr/bin, /usr/share/man ni /usr/share/doc"
echo "package: todo bien en ${SECONDS} s"
