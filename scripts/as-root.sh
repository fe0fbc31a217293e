# Sourced by the scripts that must run as root (namespace networks, packages).
#   . "$(dirname "$0")/as-root.sh"; as_root "$0" "$@"
# As root: returns at once. As another user: runs the same script again
# through sudo when sudo is installed, otherwise stops with one line saying
# how to run it.
as_root() {
  local script name
  script=$(readlink -f "$1")
  shift
  [ "$(id -u)" -eq 0 ] && return 0
  name=$(basename "$script" .sh)
  if command -v sudo >/dev/null 2>&1; then
    echo "$name: needs root; running it again through sudo" >&2
    exec sudo -- bash "$script" "$@"
  fi
  echo "$name: needs root (network namespaces, packages); run it as root: bash ${script#"$PWD"/}" >&2
  exit 1
}
