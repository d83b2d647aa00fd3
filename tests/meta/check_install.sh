#!/usr/bin/env bash
# Installs the build to a temporary prefix, then compiles and runs a small
# application against the installed metadata library through pkg-config,
# with either include style.
set -euo pipefail
build="$1"; app_src="$2"
prefix=$(mktemp -d); trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/common/meta/libgstovmeta.so" || { echo "library not installed"; exit 1; }
test -f "$prefix/include/gstovmeta/gstovmeta.h" || { echo "headers not installed"; exit 1; }
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
flags=$(pkg-config --cflags --libs gstovmeta)
# Both include styles: <gstovmeta/gstovmeta.h> and the flat <gstovmeta.h>.
c++ -std=c++17 -o "$prefix/app" "$app_src" $flags
c++ -std=c++17 -DOV_FLAT_INCLUDES -o "$prefix/app_flat" "$app_src" $flags
"$prefix/app"
"$prefix/app_flat"
