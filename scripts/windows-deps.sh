#!/usr/bin/env bash
# The Windows cross build's tools and libraries, on a Debian machine.
#   scripts/windows-deps.sh packages  installs the MinGW-w64 cross compiler,
#                                     Wine and the source-package lines of
#                                     the machine's Debian archive (root)
#   scripts/windows-deps.sh [build]   builds the libraries the Windows
#                                     programs link into build-windows/deps/,
#                                     once (again only when a version changes)
# The libraries come from Debian's own source packages of the versions this
# machine has installed, so that the Windows build compiles the same code as
# the Linux one links: gSOAP's runtime (the host's soapcpp2 generates the
# service code for both), SQLite, and GoogleTest from the sources Debian's
# googletest package installs. nlohmann-json is header-only: the host's
# headers serve.
# There is no OpenSSL for Windows: the firmware store's digest uses the
# system's own there.
set -euo pipefail
cd "$(dirname "$0")/.."
step=${1:-build}

# The packages this needs beyond those of scripts/setup.sh. The -posix
# compilers are those with std::thread and std::mutex; Debian's g++ package
# of that name brings both thread models.
# SQLite's source package carries its tree, not the amalgamation: making
# sqlite3.c takes tclsh (tcl) and its configure script reads file. The
# installer is made by NSIS (nsis: makensis).
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev
          wine wine64 dpkg-dev googletest gsoap nlohmann-json3-dev tcl file nsis)

# Writes apt source lines of type deb-src for every Debian suite of this
# machine's release that apt reads binary packages from, with the same
# mirror, suites, components and key, so that apt-get source finds the
# source of what is installed. The mirror is read from the machine's own
# lists (both the one-line and the deb822 form), never written here.
enable_source_lines() {
  local codename out
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { echo "windows-deps: no release code name in /etc/os-release" >&2; return 1; }
  out=/etc/apt/sources.list.d/ferrolink-deb-src.sources
  local inputs=()
  [ -f /etc/apt/sources.list ] && inputs+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$out" ] && inputs+=("$f")
  done
  ((${#inputs[@]})) || { echo "windows-deps: no apt sources on this machine" >&2; return 1; }
  local stanzas
  stanzas=$(awk -v codename="$codename" '
    function ours(suites,   n, i, s) {
      n = split(suites, s, /[ \t]+/)
      for (i = 1; i <= n; i++)
        if (s[i] == codename || index(s[i], codename "-") == 1) return 1
      return 0
    }
    function has(list, word,   n, i, w) {
      n = split(list, w, /[ \t]+/)
      for (i = 1; i <= n; i++) if (w[i] == word) return 1
      return 0
    }
    # A deb822 stanza ends: keep it when it serves binaries of our release
    # and has no source line of its own.
    function flush() {
      if (f["types"] != "" && tolower(f["enabled"]) != "no" && has(f["types"], "deb") &&
          !has(f["types"], "deb-src") && ours(f["suites"])) {
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n", f["uris"], f["suites"], f["components"]
        if (f["signed-by"] != "") printf "Signed-By: %s\n", f["signed-by"]
        printf "\n"
      }
      delete f; last = ""
    }
    FNR == 1 { if (NR > 1) flush(); deb822 = FILENAME ~ /\.sources$/ }
    deb822 && /^[ \t]*#/ { next }
    deb822 && /^[ \t]*$/ { flush(); next }
    deb822 && /^[ \t]/ { if (last != "") f[last] = f[last] "\n" $0; next }
    deb822 {
      key = tolower(substr($0, 1, index($0, ":") - 1)); val = substr($0, index($0, ":") + 1)
      sub(/^[ \t]+/, "", val); sub(/[ \t]+$/, "", val); f[key] = val; last = key; next
    }
    # The one-line form: "deb [options] URI suite component...".
    $1 == "deb" || $1 == "deb-src" {
      opts = ""; i = 2
      if ($2 ~ /^\[/) { while (i <= NF && $i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
      uri = $i; suite = $(i + 1); comps = ""
      for (j = i + 2; j <= NF; j++) comps = comps (comps == "" ? "" : " ") $j
      if ($1 == "deb-src") { have[uri " " suite] = 1; next }
      if (!ours(suite)) next
      key = uri " " suite; line_comps[key] = comps
      signed = ""
      if (match(opts, /signed-by=[^ \]]+/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
      line_signed[key] = signed; order[++n] = key
    }
    END {
      flush()
      for (k = 1; k <= n; k++) {
        key = order[k]; if (key in have) continue
        split(key, p, " ")
        printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n", p[1], p[2], line_comps[key]
        if (line_signed[key] != "") printf "Signed-By: %s\n", line_signed[key]
        printf "\n"
      }
    }' "${inputs[@]}")
  local text=""
  [ -z "$stanzas" ] || text=$(printf '# Source packages of the Debian suites this machine installs from, for the\n# Windows cross build (scripts/windows-deps.sh).\n\n%s\n' "$stanzas")
  if [ "$text" = "$(cat "$out" 2>/dev/null)" ]; then
    return 0
  fi
  sources_changed=1
  if [ -z "$text" ]; then
    rm -f "$out"
    echo "windows-deps: source lines already present (or none to add)"
  else
    printf '%s\n' "$text" >"$out"
    echo "windows-deps: wrote $out"
  fi
}

if [ "$step" = packages ]; then
  [ "$(id -u)" -eq 0 ] || { echo "windows-deps: run as root: bash $0 packages" >&2; exit 1; }
  sources_changed=0
  enable_source_lines
  missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if ((sources_changed == 0 && ${#missing[@]} == 0)); then
    echo "windows-deps: the tools are installed"
    exit 0
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  ((${#missing[@]} == 0)) || apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "windows-deps: installed ${missing[*]:-nothing new}"
  exit 0
fi
[ "$step" = build ] || { echo "usage: $0 [packages|build]" >&2; exit 2; }

# ---------------------------------------------------------------------------
# Libraries, built once into build-windows/deps/{include,lib}.
deps=build-windows/deps
cxx=x86_64-w64-mingw32-g++-posix
cc=x86_64-w64-mingw32-gcc-posix
ar=x86_64-w64-mingw32-ar
# The compiler cache where there is one, as scripts/build.sh uses it.
cache=$(command -v ccache || true)
for tool in "$cxx" "$cc" "$ar" soapcpp2 dpkg-query; do
  command -v "$tool" >/dev/null || {
    echo "windows-deps: $tool is missing; install the tools: bash $0 packages" >&2
    exit 1
  }
done
installed() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null; }
gsoap_version=$(installed gsoap)
sqlite_version=$(installed libsqlite3-dev)
gtest_version=$(installed googletest)
[ -n "$gsoap_version" ] && [ -n "$sqlite_version" ] && [ -n "$gtest_version" ] || {
  echo "windows-deps: gsoap, libsqlite3-dev and googletest must be installed (scripts/setup.sh)" >&2
  exit 1
}
stamp="gsoap $gsoap_version sqlite3 $sqlite_version googletest $gtest_version $($cxx -dumpfullversion)"
if [ -f "$deps/stamp" ] && [ "$(cat "$deps/stamp")" = "$stamp" ]; then
  echo "windows-deps: $deps is up to date ($stamp)"
  exit 0
fi
rm -rf "$deps"
mkdir -p "$deps/src" "$deps/include" "$deps/lib" "$deps/obj"
started=$SECONDS

# Sources of exactly the installed versions: the generated code must meet
# the runtime of its own generator's version.
(cd "$deps/src" && apt-get source -qq -o APT::Sandbox::User="$(id -un)" --download-only "gsoap=$gsoap_version" "sqlite3=$sqlite_version" >/dev/null &&
   for dsc in *.dsc; do dpkg-source -q --no-check -x "$dsc" >/dev/null; done) || {
  echo "windows-deps: apt-get source failed; enable the source lines: bash $0 packages" >&2
  exit 1
}
gsoap_src=$(find "$deps/src" -maxdepth 1 -type d -name 'gsoap-*' | head -1)
sqlite_src=$(find "$deps/src" -maxdepth 1 -type d -name 'sqlite3-*' | head -1)

# gSOAP's runtime with the definitions of Debian's gsoap++ library (IPv6,
# DOM), so that the Windows build behaves as the Linux one does.
flags=(-O2 -g0 -DWITH_IPV6 -DWITH_DOM)
cp "$gsoap_src/gsoap/stdsoap2.h" "$deps/include/"
$cache $cxx "${flags[@]}" -std=c++20 -c -x c++ "$gsoap_src/gsoap/stdsoap2.cpp" -o "$deps/obj/stdsoap2.o"
$cache $cxx "${flags[@]}" -std=c++20 -I"$gsoap_src/gsoap" -c -x c++ "$gsoap_src/gsoap/dom.cpp" -o "$deps/obj/dom.o"
$ar rcs "$deps/lib/libgsoap++.a" "$deps/obj/stdsoap2.o" "$deps/obj/dom.o"

# SQLite from its amalgamation, with the options Debian builds it with that
# change what the program sees (columns metadata, JSON), threads serialized.
sqlite_c=$(find "$sqlite_src" -name sqlite3.c -not -path '*/tsrc/*' | head -1)
if [ -z "$sqlite_c" ]; then
  # The source package carries the tree, not the amalgamation: make it.
  (cd "$sqlite_src" && mkdir -p bld && cd bld && ../configure -q >/dev/null && make -s sqlite3.c >/dev/null)
  sqlite_c=$sqlite_src/bld/sqlite3.c
fi
cp "$(dirname "$sqlite_c")/sqlite3.h" "$deps/include/"
$cache $cc -O2 -g0 -DSQLITE_THREADSAFE=1 -DSQLITE_ENABLE_COLUMN_METADATA -DSQLITE_ENABLE_FTS3 \
    -DSQLITE_ENABLE_RTREE -DSQLITE_OMIT_LOAD_EXTENSION -c "$sqlite_c" -o "$deps/obj/sqlite3.o"
$ar rcs "$deps/lib/libsqlite3.a" "$deps/obj/sqlite3.o"

# GoogleTest and GoogleMock from Debian's source copy.
gtest_src=/usr/src/googletest
$cache $cxx -O2 -g0 -std=c++20 -I$gtest_src/googletest/include -I$gtest_src/googletest \
    -I$gtest_src/googlemock/include -I$gtest_src/googlemock -c \
    $gtest_src/googletest/src/gtest-all.cc -o "$deps/obj/gtest-all.o" &
$cache $cxx -O2 -g0 -std=c++20 -I$gtest_src/googletest/include -I$gtest_src/googletest \
    -I$gtest_src/googlemock/include -I$gtest_src/googlemock -c \
    $gtest_src/googlemock/src/gmock-all.cc -o "$deps/obj/gmock-all.o" &
wait
$cache $cxx -O2 -g0 -std=c++20 -I$gtest_src/googletest/include -c \
    $gtest_src/googletest/src/gtest_main.cc -o "$deps/obj/gtest_main.o"
$ar rcs "$deps/lib/libgtest.a" "$deps/obj/gtest-all.o"
$ar rcs "$deps/lib/libgmock.a" "$deps/obj/gmock-all.o"
$ar rcs "$deps/lib/libgtest_main.a" "$deps/obj/gtest_main.o"
cp -r $gtest_src/googletest/include/gtest $gtest_src/googlemock/include/gmock "$deps/include/"

# nlohmann-json: header-only, the host's headers (the Windows build cannot
# take /usr/include as a whole).
cp -r /usr/include/nlohmann "$deps/include/"

rm -rf "$deps/obj"
echo "$stamp" >"$deps/stamp"
echo "windows-deps: built $deps in $((SECONDS - started)) s ($stamp)"
