#!/usr/bin/env bash
# Builds the Debian package of Ferrolink:
#   build-package/ferrolink_<version>_amd64.deb
# and, where the Windows build exists (build-windows/dist, made by
# scripts/build-windows.sh), the Windows installer:
#   build-windows/ferrolink-<version>-setup.exe
# from a copy of the checkout (dpkg-buildpackage writes its results beside
# the source folder), with debian/ in the Debian manner. The version is the
# project's (platform/version.cpp), and debian/changelog must name it.
#
#   bash scripts/package.sh
#
# Needs the build dependencies of debian/control (scripts/setup.sh installs
# them) and debhelper; installs debhelper when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

die() { printf 'package: %s\n' "$*" >&2; exit 1; }

version=$(sed -n 's/.*VersionText() { return "\([^"]*\)".*/\1/p' platform/version.cpp)
[ -n "$version" ] || die "no version in platform/version.cpp"
changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
[ "$version" = "$changelog_version" ] ||
  die "debian/changelog names $changelog_version, the project is $version: add a changelog entry"

if ! command -v dh >/dev/null; then
  [ "$(id -u)" -eq 0 ] || die "debhelper is missing: apt-get install debhelper"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debhelper >/dev/null
fi

out=$repo/build-package
src=$out/ferrolink-$version
rm -rf "$src"
mkdir -p "$src"
# The tracked files (and uncommitted changes to them), nothing of the build
# folders.
git ls-files -z --cached --others --exclude-standard |
  (cd "$repo" && xargs -0 cp --parents -t "$src" 2>/dev/null || true)
[ -f "$src/debian/rules" ] || die "copying the sources failed"

# No debug-symbol package: the package carries its symbols' build ids only.
# Its output (every compiler line) goes to build-package/build.log, and its
# end to the terminal when it fails.
echo "package: building ferrolink $version (output in build-package/build.log)"
if ! (cd "$src" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }noddebs" \
  dpkg-buildpackage -us -uc -b -j"$(nproc)") >"$out/build.log" 2>&1; then
  tail -n 40 "$out/build.log" >&2
  die "dpkg-buildpackage failed (whole output in build-package/build.log)"
fi
rm -rf "$src"

deb=$out/ferrolink_${version}_$(dpkg --print-architecture).deb
[ -f "$deb" ] || die "no $deb"
echo "package: $deb"

# The Windows installer, from the Windows programs rebuilt as the checkout
# has them now.
if [ -d build-windows/dist ]; then
  if command -v makensis >/dev/null; then
    bash scripts/build-windows.sh ferro_windows_setup
    setup=$repo/build-windows/ferrolink-$version-setup.exe
    [ -f "$setup" ] || die "no $setup"
    echo "package: $setup"
  else
    echo "package: makensis is missing, so no Windows installer: bash scripts/windows-deps.sh packages" >&2
  fi
fi
