#!/usr/bin/env bash
# The install and make uninstall, on a temporary DESTDIR:
#   check_install.sh round-trip SOURCE_DIR BUILD_DIR
#     installs each component of the built tree, checks that every file the
#     manifests list came and nothing else did, that the installed rotolog-cat
#     runs, then removes them with scripts/uninstall and checks that every
#     one went;
#   check_install.sh half-built SOURCE_DIR
#     configures a tree that is built only in part and checks that its
#     install stops before copying anything, naming what to build.
set -euo pipefail
export LC_ALL=C
mode=$1 source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "check_install: $*" >&2
  exit 1
}
# Files and symlinks under a directory, one path a line, sorted.
files_under() { (cd "$1" && find . \( -type f -o -type l \) -printf '/%P\n' | sort); }

round_trip() {
  local build=$1 stage=$work/stage component manifests=()
  # Each component writes its own manifest (install_manifest_NAME.txt), so
  # that of a user's own install (install_manifest.txt) is left alone.
  for component in runtime dev tools Unspecified; do
    DESTDIR=$stage cmake --install "$build" --prefix /opt/rotolog --component "$component" >/dev/null
    mv "$build/install_manifest_$component.txt" "$work/$component.txt"
    manifests+=("$work/$component.txt")
  done
  # Every installed file belongs to a package's component.
  [[ ! -s $work/Unspecified.txt ]] || fail "files outside the components: $(cat "$work/Unspecified.txt")"

  # CMake ends a manifest without a newline.
  awk 1 "${manifests[@]}" | sed '/^$/d' | sort >"$work/listed"
  [[ $(wc -l <"$work/listed") -ge 20 ]] || fail "only $(wc -l <"$work/listed") files listed"
  files_under "$stage" >"$work/found"
  diff -u "$work/listed" "$work/found" >&2 || fail "the files installed differ from those listed (- listed, + found)"
  for expected in lib/librotolog.so.0 lib/rotolog/libvandrel.so.0 include/rotolog/cyclic_file.h \
    lib/cmake/rotolog/rotolog-config.cmake lib/pkgconfig/rotolog.pc bin/rotolog-cat; do
    grep -qx "/opt/rotolog/$expected" "$work/listed" || fail "$expected was not installed"
  done
  # Found through its run path, in its new place.
  "$stage/opt/rotolog/bin/rotolog-cat" --version | grep -q '^rotolog-cat' || fail "the installed rotolog-cat does not run"
  # The tool uses the installed library, not a copy of its own.
  LC_ALL=C readelf -d "$stage/opt/rotolog/bin/rotolog-cat" | grep -q 'NEEDED.*\[librotolog\.so\.0\]' \
    || fail "the installed rotolog-cat does not load librotolog.so.0"
  if nm -C "$stage/opt/rotolog/bin/rotolog-cat" | grep -q 'CCyclicFile'; then
    fail "the installed rotolog-cat carries a copy of the library"
  fi

  local output
  for manifest in "${manifests[@]}"; do
    output=$(DESTDIR=$stage "$source_dir/scripts/uninstall" "$manifest")
    local count
    count=$(grep -c . "$manifest" || true)
    [[ $output == *"removed $count of the $count files listed in $manifest" ]] ||
      fail "uninstall of $manifest said: $output"
  done
  [[ -z $(files_under "$stage") ]] || fail "left behind: $(files_under "$stage")"
  for directory in include/rotolog lib/rotolog lib/cmake/rotolog; do
    [[ ! -e $stage/opt/rotolog/$directory ]] || fail "the empty $directory was left behind"
  done

  # A manifest with a line it cannot trust removes nothing at all.
  touch "$work/kept"
  printf '%s\nrelative/path\n' "$work/kept" >"$work/bad-manifest.txt"
  if "$source_dir/scripts/uninstall" "$work/bad-manifest.txt" 2>"$work/refusal"; then
    fail "a manifest with a relative path was accepted"
  fi
  grep -q "'relative/path' is not an absolute path; nothing removed" "$work/refusal" ||
    fail "the refusal said: $(cat "$work/refusal")"
  [[ -e $work/kept ]] || fail "a refused manifest still removed $work/kept"
  echo "install and uninstall of $(wc -l <"$work/listed") files: each came and went"
}

# A tree configured and not built, then one with the library alone (as make
# demo leaves it): both refuse, naming what is missing and `make build`.
half_built() {
  local build=$work/build stage=$work/stage output library
  cmake -S "$source_dir" -B "$build" -G Ninja -DROTOLOG_BUILD_TESTS=OFF \
    -DROTOLOG_BUILD_EXAMPLES=OFF -DROTOLOG_BUILD_BENCH=OFF >/dev/null
  for attempt in nothing library; do
    if output=$(DESTDIR=$stage cmake --install "$build" 2>&1); then
      fail "the install of a tree with $attempt built succeeded"
    fi
    [[ $output == *"nothing was installed: these files are not built yet"* &&
      $output == *"Build them first: make build"* && $output == *"/rotolog-cat"* ]] ||
      fail "the refusal ($attempt built) said: $output"
    [[ ! -e $stage ]] || fail "with $attempt built, the install copied: $(files_under "$stage")"
    [[ ! -e $build/install_manifest.txt ]] || fail "a refused install wrote a manifest"
    library=$(grep -o '/[^ ]*/librotolog\.so\.[0-9.]*' <<<"$output" | head -1 || true)
    if [[ $attempt == nothing ]]; then
      [[ -n $library ]] || fail "the refusal does not name the library: $output"
      mkdir -p "$(dirname "$library")"
      touch "$library"
    elif [[ -n $library ]]; then
      fail "the library is built, yet named missing: $output"
    fi
  done
  echo "a tree built in part installs nothing and says to run make build"
}

case $mode in
  round-trip) round_trip "$3" ;;
  half-built) half_built ;;
  *) fail "unknown mode $mode" ;;
esac
