# Sourced by the scripts: makes sure the Debian packages they need are there.
# As root it installs what is missing; otherwise it prints the apt-get line.
orvex_need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || return 1
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || return 1
  else
    echo "Missing packages. Run this first, then again:"
    echo "  sudo apt-get install -y ${missing[*]}"
    return 1
  fi
}

ORVEX_BUILD_PACKAGES=(cmake ninja-build g++ make)
ORVEX_TEST_PACKAGES=(libgtest-dev libgmock-dev)
