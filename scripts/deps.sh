# Installs the Debian packages given as arguments that are not installed yet.
ensure_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

BUILD_PACKAGES=(cmake ninja-build g++ gcc make pkg-config)
TEST_PACKAGES=(clang libclang-rt-14-dev libgtest-dev libgmock-dev googletest
  g++-powerpc-linux-gnu qemu-user valgrind libbenchmark-dev libtirpc-dev python3 groff-base
  dpkg-dev file lintian rpcsvc-proto libnsl-dev)
