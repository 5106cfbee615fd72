# Shared by run.sh and test.sh: installs the Debian packages the build needs when any is missing,
# and (test.sh) makes the comma-decimal locale that the locale tests run under.
DBU_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev libsodium-dev
  qt6-base-dev libminizip-dev libexpat1-dev libedit-dev
  python3-xlwt python3-openpyxl
)

dbu_as_root() {
  if [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

dbu_install() {
  echo "Installing: $*"
  dbu_as_root apt-get update -qq
  dbu_as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}

dbu_ensure_packages() {
  local missing=()
  for p in "${DBU_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  dbu_install "${missing[@]}"
}

# The tests check that numbers in stored records, SQL and filters do not follow the
# process locale, under de_DE.UTF-8 (decimal comma); they fail when it is missing.
DBU_TEST_LOCALE=de_DE.UTF-8

dbu_has_test_locale() {
  # grep reads to the end (no -q), so that pipefail never sees locale -a cut off.
  locale -a 2>/dev/null | grep -ixE 'de_DE\.utf-?8' >/dev/null
}

dbu_ensure_test_locale() {
  dbu_has_test_locale && return 0
  # localedef reads its sources from the locales package.
  dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q "install ok installed" || dbu_install locales
  echo "Generating locale $DBU_TEST_LOCALE"
  # localedef may exit non-zero over mere warnings; what counts is the result.
  dbu_as_root localedef -i de_DE -f UTF-8 "$DBU_TEST_LOCALE" || true
  dbu_has_test_locale || { echo "Cannot generate locale $DBU_TEST_LOCALE" >&2; return 1; }
}
