# What the scripts that build a library for Windows from Debian's source share (sourced, not run):
# the versions Debian offers, the fetch, and the two caches. A library is built once per Debian
# source version, build flags and compiler, and kept twice: in the Windows build folder (gone with
# a clean clone) and under ${XDG_CACHE_HOME:-~/.cache}/lumaflash/mingw/ (kept across clones), so
# only a machine that never built it pays for the build.
#
# A script sets `name` (the folder in the build folder and the cache) and calls
#   mingw_library PACKAGE OUT RECIPE BUILD-FUNCTION
# RECIPE is every input of the build besides the source (flags, the versions of the libraries it
# builds on); BUILD-FUNCTION TREE OUT builds the unpacked source TREE into OUT (OUT/include and
# OUT/lib exist), writing its logs beside TREE, and fails with a non-zero status.

mingw_fail() {
  echo "build_${name}_mingw: $*" >&2
  exit 1
}

mingw_cache_root=${XDG_CACHE_HOME:-$HOME/.cache}/lumaflash/mingw

# The source versions apt knows for PACKAGE, newest first (deb-src entry from scripts/setup.sh).
mingw_source_versions() {
  apt-cache showsrc "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -uVr
}

# The key of a build: the version, and a digest of the recipe and the compiler that builds it.
mingw_key() {
  local version=$1 recipe=$2
  local compiler
  compiler=$(x86_64-w64-mingw32-gcc-posix --version | head -n 1)
  echo "$version-$(printf '%s\n%s\n' "$recipe" "$compiler" | sha256sum | cut -c 1-12)"
}

# Takes the build with KEY into OUT from the build folder or the outside cache; false when
# neither has it.
mingw_take_cached() {
  local out=$1 key=$2
  if [[ $(cat "$out/key" 2>/dev/null) == "$key" ]]; then
    echo "$name $key for Windows: $out (cached)"
    return 0
  fi
  [[ -f $mingw_cache_root/$name-$key/key ]] || return 1
  rm -rf "$out"
  mkdir -p "$(dirname "$out")"
  cp -a "$mingw_cache_root/$name-$key" "$out"
  echo "$name $key for Windows: $out (from $mingw_cache_root)"
}

# Keeps OUT in the outside cache. Another build of the same key may have got there first, which
# is as good; a cache that cannot be written only costs the next clone a build.
mingw_keep() {
  local out=$1 key=$2
  local kept=$mingw_cache_root/$name-$key
  [[ -d $kept ]] && return 0
  mkdir -p "$mingw_cache_root" 2>/dev/null || return 0
  local staging
  staging=$(mktemp -d "$mingw_cache_root/.$name.XXXXXX") || return 0
  cp -a "$out/." "$staging/" && mv -T "$staging" "$kept" 2>/dev/null || rm -rf "$staging"
}

mingw_library() {
  local package=$1 out=$2 recipe=$3 build=$4
  local versions version key work tree
  mapfile -t versions < <(mingw_source_versions "$package")
  ((${#versions[@]} > 0)) ||
    mingw_fail "apt knows no source package $package; run scripts/setup.sh (it adds a deb-src entry and runs apt-get update)."
  # The newest version in the index is not always on the mirror yet: then the one before it. A
  # version that could not be fetched is not asked for again for a day, so that a warm cache
  # does not pay for a failing download on every build.
  local missing=$mingw_cache_root/unavailable
  work=""
  for version in "${versions[@]:0:3}"; do
    key=$(mingw_key "$version" "$recipe")
    mingw_take_cached "$out" "$key" && return 0
    [[ -n $(find "$missing/$package=$version" -mmin -1440 2>/dev/null) ]] && continue
    work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-$name.XXXXXX")
    if (cd "$work" && apt-get source -q "$package=$version" >"$work/source.log" 2>&1); then
      break
    fi
    echo "$name: apt-get source $package=$version failed ($(grep -m 1 '^E:' "$work/source.log" || tail -n 1 "$work/source.log")); trying an older version" >&2
    mkdir -p "$missing" 2>/dev/null && touch "$missing/$package=$version" 2>/dev/null || true
    rm -rf "$work"
    work=""
  done
  [[ -n $work ]] || mingw_fail "apt-get source $package failed for ${versions[*]:0:3}"
  tree=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  [[ -n $tree ]] || mingw_fail "apt-get source $package=$version unpacked no folder in $work"
  echo "$name $version for Windows: building from Debian's source into $out" \
    "($(grep -m 1 '^Fetched' "$work/source.log" || echo 'nothing fetched'))"
  rm -rf "$out"
  mkdir -p "$out/include" "$out/lib"
  local started=$SECONDS
  "$build" "$tree" "$out" || {
    rm -rf "$out"
    mingw_fail "the build failed; its logs are in $work"
  }
  rm -rf "$work"
  echo "$key" >"$out/key"
  mingw_keep "$out" "$key"
  echo "$name $key for Windows: built in $((SECONDS - started)) s into $out"
}
