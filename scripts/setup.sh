#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test ecalias. Non-interactive;
# installs nothing when everything is present.
set -euo pipefail

packages=(build-essential cmake g++ clang libclang-rt-14-dev libpcap-dev libgtest-dev libgmock-dev
          tshark tcpdump iproute2 libcap2-bin python3 pkg-config procps util-linux
          python3-venv python3-pip python3-setuptools python3-wheel python3-pytest)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
  command -v sudo >/dev/null || { echo "setup: missing packages (${missing[*]}) and not root; install them as root" >&2; exit 1; }
else
  SUDO=
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections 2>/dev/null || true
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
