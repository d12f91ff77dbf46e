#!/usr/bin/env bash
# CI: what `cmake --install` puts in place works for a user of the library.
# Builds without the tests, installs into a temporary prefix, and checks that
# a C program built with pkg-config and a C project using
# find_package(arcsalve) both link the installed library and repair
# examples/damaged.zip with it through arcsalve_repair; that the installed command runs; and that
# the man page renders without a warning. Takes a few seconds after the
# first build (build-install/ is reused).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake -S . -B build-install -DARCSALVE_TESTS=OFF -DARCSALVE_WERROR=ON >/dev/null
cmake --build build-install -j"$(nproc)" --target arcsalve arcsalve_cli >/dev/null
cmake --install build-install --prefix "$prefix" >/dev/null

fail() { echo "install check: $*" >&2; exit 1; }
lib=$(find "$prefix" -name 'libarcsalve.so.*.*.*' -type f)
[ -n "$lib" ] || fail "no versioned libarcsalve.so installed"
soname=$(objdump -p "$lib" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libarcsalve.so.0 ] || fail "SONAME is '$soname', not libarcsalve.so.0"
for f in bin/arcsalve include/arcsalve/arcsalve.h include/arcsalve/arcsalve_c.h share/man/man1/arcsalve.1 \
         share/bash-completion/completions/arcsalve; do
  [ -e "$prefix/$f" ] || fail "$f not installed"
done

# A host of the installed library, in C: repairs a copy of the example into
# a folder of its own through arcsalve_repair and checks the counts in the
# result (two entries whole, one in part, status 1).
cat >"$work/host.c" <<'C'
#include <arcsalve/arcsalve_c.h>
#include <stdio.h>
#include <string.h>
int main(int argc, char **argv) {
    struct arcsalve_result r;
    int status;
    (void)argc;
    memset(&r, 0, sizeof r);
    r.size = sizeof r;
    status = arcsalve_repair(argv[1], argv[2], NULL, &r);
    printf("status %d found %ld intact %ld partial %ld lost %ld output %s\n", status, r.entries_found,
           r.entries_intact, r.entries_partial, r.entries_lost, r.output);
    return status == 1 && r.entries_found == 3 && r.entries_intact == 2 && r.entries_partial == 1 &&
           r.entries_lost == 0 && strstr(r.output, "damaged.zip") != NULL ? 0 : 1;
}
C
run_host() {  # $1: the host program; repairs the example into a fresh folder
  rm -rf "$work/in" "$work/out" && mkdir "$work/in" "$work/out"
  cp "$root/examples/damaged.zip" "$work/in/"
  "$1" "$work/in/damaged.zip" "$work/out" || fail "$1 did not repair the example"
  unzip -tqq "$work/out/damaged.zip" || fail "$1 wrote no valid archive"
}

export PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name arcsalve.pc)")
pkgconf_libdir=$(pkg-config --variable=libdir arcsalve)
cc -std=c99 -pedantic -Wall -Werror -o "$work/host_pc" "$work/host.c" $(pkg-config --cflags --libs arcsalve) \
  -Wl,-rpath,"$pkgconf_libdir"
run_host "$work/host_pc"

mkdir "$work/project"
cp "$work/host.c" "$work/project/"
cat >"$work/project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(host LANGUAGES C)
find_package(arcsalve 0.1 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE arcsalve::arcsalve)
CMAKE
cmake -S "$work/project" -B "$work/project/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/project/build" >/dev/null
run_host "$work/project/build/host"

# The installed command finds its library without help.
rm -rf "$work/out" && cp "$root/examples/damaged.zip" "$work/in/again.zip"
status=0
env -u LD_LIBRARY_PATH "$prefix/bin/arcsalve" -q --no-progress -o "$work/out" "$work/in/again.zip" \
  >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] && [ -f "$work/out/again.zip" ] || fail "installed command ended with $status"

# The bash completion parses, and completes options from the installed
# command's help, directories after -o, and archives (*.zip, any case) and
# directories elsewhere.
completion=$prefix/share/bash-completion/completions/arcsalve
bash -n "$completion" || fail "the bash completion does not parse"
mkdir -p "$work/complete/sub dir" && touch "$work/complete/"{a.zip,b.ZIP,notes.txt}
got=$(cd "$work/complete" && bash -c 'source "$1"
  complete_line() { COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _arcsalve "$1"
                    printf "%s\n" "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd "|"; }
  complete_line "$2" ""; complete_line "$2" -o ""; complete_line "$2" --output = s; complete_line "$2" --no-pro
' _ "$completion" "$prefix/bin/arcsalve")
[ "$got" = "$(printf 'a.zip|b.ZIP|sub dir\nsub dir\nsub dir\n--no-progress|--no-prompt')" ] ||
  fail "bash completion gave: $got"

# The man page renders without a warning.
warnings=$(groff -man -Tutf8 -ww "$prefix/share/man/man1/arcsalve.1" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "arcsalve.1: $warnings"
echo "install check: passed"
