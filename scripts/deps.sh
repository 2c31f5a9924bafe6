# Sourced by the scripts: installs the Debian packages the build needs, only those missing.
vendaxo_need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}
VENDAXO_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libexpat1-dev nettle-dev zlib1g-dev libzip-dev
  libgtest-dev libgmock-dev libbenchmark-dev libasound2-dev python3 qt6-translations-l10n)
