# Shared by run.sh and test.sh: installs the Debian packages the build needs when any is missing.
DBU_PACKAGES=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev libsodium-dev
  qt6-base-dev libminizip-dev libexpat1-dev libedit-dev
  python3-xlwt python3-openpyxl
)

dbu_ensure_packages() {
  local missing=()
  for p in "${DBU_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
