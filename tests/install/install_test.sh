#!/usr/bin/env bash
# Installs a build into a fresh prefix, builds a host project against that
# prefix alone and runs the host on a new SQLite file.
#
#   install_test.sh CMAKE BUILD_DIR HOST_SOURCE_DIR SOURCE_DIR CONFIGURE_ARGS...
#
# Exits 77 (skipped) only when the compiler or build program the build used is
# gone from the machine; any other failure is the installed tree's.
set -euo pipefail
cmake=$1 build=$2 host=$3 source=$4
shift 4

for arg in "$@"; do
  case $arg in
    -DCMAKE_CXX_COMPILER=* | -DCMAKE_MAKE_PROGRAM=*)
      tool=${arg#*=}
      [ -x "$tool" ] || { echo "skipped: $tool is not installed"; exit 77; } ;;
  esac
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/prefix" >"$work/install.log"
# The host is built from a copy, so that nothing of the source tree is in reach.
cp -r "$host" "$work/src"
"$cmake" -S "$work/src" -B "$work/build" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF "$@" >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
"$cmake" --build "$work/build"

# Headers and libraries come from the prefix, never from the source or build
# tree (the package would then only work beside a checkout).
for file in compile_commands.json build.ninja; do
  if [ -f "$work/build/$file" ] && grep -n -e "$source/" -e "$build/" "$work/build/$file"; then
    echo "the host's $file names the source or build tree" >&2
    exit 1
  fi
done

"$work/build/quickstart" "$work/quickstart.vlt"
