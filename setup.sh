#!/usr/bin/env bash
# Installs every build and test dependency from Debian's packages (as root on
# Debian 12) and builds the project with the sanitizers on. Safe to run twice.
set -euo pipefail
cd "$(dirname "$0")"

packages=(
    build-essential cmake pkg-config
    libgtest-dev libgmock-dev
    nlohmann-json3-dev libcli11-dev
    libsqlite3-dev libsqlitecpp-dev
    libpaho-mqtt-dev libpaho-mqttpp-dev libssl-dev
    mosquitto mosquitto-clients netcat-openbsd
    zlib1g-dev libpng-dev
    clang libclang-rt-dev
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Debug -DLUMACORE_SANITIZE=ON
cmake --build build -j "$(nproc)"
