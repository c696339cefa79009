# Shared by scripts/run and scripts/test. Source it; do not run it.

TAVELCAST_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"

# Debian packages the project builds, tests and runs with.
TAVELCAST_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-svg-dev libqt6svg6 qt6-qpa-plugins
  libasio-dev libturbojpeg0-dev libsimpleini-dev
  libx11-dev libxext-dev libxfixes-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth trayer xdotool x11-utils x11-xserver-utils imagemagick
  fonts-dejavu-core iproute2 procps python3
)

log() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }

# Installs whatever of TAVELCAST_PACKAGES is missing. Needs root (or sudo) the first time.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "${TAVELCAST_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$pkg")
    fi
  done
  if [ "${#missing[@]}" -eq 0 ]; then
    return 0
  fi
  log "installing Debian packages: ${missing[*]}"
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
  fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures and builds one preset (default, asan or tsan); further arguments name the
# targets to build (all when none).
build_preset() {
  local preset="$1"
  shift
  local targets=()
  [ "$#" -gt 0 ] && targets=(--target "$@")
  log "configuring and building preset '$preset'"
  cmake --preset "$preset" -S "$TAVELCAST_ROOT" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)" "${targets[@]}"
}

# Starts Xvfb on a free display number and exports DISPLAY. Sets XVFB_PID.
start_xvfb() {
  local size="${1:-1920x1080x24}"
  local n
  for n in $(seq 90 130); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then
      Xvfb ":$n" -screen 0 "$size" -nolisten tcp -noreset >/dev/null 2>&1 &
      XVFB_PID=$!
      export DISPLAY=":$n"
      local i
      for i in $(seq 1 100); do
        if xdpyinfo >/dev/null 2>&1; then
          return 0
        fi
        sleep 0.1
      done
      kill "$XVFB_PID" 2>/dev/null || true
      log "Xvfb did not start on :$n"
      return 1
    fi
  done
  return 1
}

# Finds a free TCP port on 127.0.0.1.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
