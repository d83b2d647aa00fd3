#!/usr/bin/env bash
# Installs the Debian packages the project needs to build, test and run.
# Idempotent: asks apt only for what is missing and says what it does.
#   scripts/install-deps.sh [--bench]   (--bench: also what the benchmarks compare with)
set -euo pipefail

PACKAGES=(
  # build
  cmake g++ pkg-config ninja-build
  # GStreamer
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-x
  # OpenCV
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
  libopencv-videoio-dev libopencv-dnn-dev
  # pixel programs
  liborc-0.4-dev
  # data bus
  cyclonedds-dev cyclonedds-tools
  # bus security: keys (bus-keys) and the checks of their files
  openssl libssl-dev
  # configuration files
  nlohmann-json3-dev
  # tests, sanitizers, fuzzing, benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev clang-14 libclang-rt-14-dev
  # RTSP camera tests: the RTSP client elements and the server library for Python
  gstreamer1.0-rtsp gir1.2-gst-rtsp-server-1.0
  # script API example and model generation
  python3-gi python3-gst-1.0 python3-onnx python3-numpy
  # network definitions for benchmarks
  darknet
)

# Benchmarks also compare with GStreamer's shared-memory transport; the soak
# plots its memory samples.
if [ "${1:-}" = "--bench" ]; then
  PACKAGES+=(gstreamer1.0-plugins-bad python3-matplotlib)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "install-deps: missing packages: ${missing[*]}" >&2
    echo "install-deps: run as root (or install sudo) to install them" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${#missing[@]} missing package(s): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
echo "install-deps: done"
