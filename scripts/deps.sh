#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build ccache g++ clang libclang-rt-14-dev
  libgtest-dev libbenchmark-dev
  protobuf-compiler libprotobuf-dev
  python3-dev python3-pytest python3-protobuf python3-numpy
  python3-pip python3-setuptools python3-wheel python3-venv
  python3-bleak python3-matplotlib python3-pandas pkg-config mypy
  libcli11-dev liblzma-dev
  tshark
  libboost-dev chromium chromium-driver python3-selenium
  libmosquitto-dev mosquitto mosquitto-clients
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # tshark (the dissector our snoop logs are checked with) would ask whether
  # to install its capture helper setuid: no capture happens here.
  echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The reference MCAP implementation, a test oracle for capture files (npm).
# Node.js comes with the machine; Debian's packages stand in when it does not.
if ! command -v npm >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nodejs npm >/dev/null
fi
if [ ! -d "$(dirname "$0")/../tests/capture/node_modules/@mcap/core" ]; then
  (cd "$(dirname "$0")/../tests/capture" && npm ci --no-audit --no-fund --loglevel=error)
fi
