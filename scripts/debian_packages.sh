# Sourced by the scripts that need Debian packages.
# ensure_debian_packages NAME PACKAGE...: installs the missing packages through
# apt-get when run as root; otherwise prints the exact command and fails.
ensure_debian_packages() {
  local who=$1 p
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" = 0 ]; then
    echo "$who: installing Debian packages: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  else
    echo "$who: missing Debian packages; run:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    return 1
  fi
}
