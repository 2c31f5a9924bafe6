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

# Locales the tests need (one with a decimal comma, for the XML-RPC documents' test), generated
# only when missing; `locales` brings the definitions and locale-gen builds them.
VENDAXO_TEST_LOCALES=(de_DE.UTF-8)
vendaxo_need_locales() {
  vendaxo_need_packages locales
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  local l missing=0
  for l in "$@"; do
    # locale -a spells UTF-8 as utf8.
    if ! locale -a 2>/dev/null | grep -qix "${l%%.*}.utf8"; then
      missing=1
      grep -qx "$l UTF-8" /etc/locale.gen 2>/dev/null || echo "$l UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
    fi
  done
  if [ "$missing" -eq 1 ]; then
    echo "generating locales: $*"
    $sudo locale-gen >/dev/null
  fi
}
