#!/usr/bin/env bash
# Installs the Debian packages the project needs, skipping what is already there.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config python3 ccache
  clang lld llvm libclang-rt-14-dev clang-tidy clang-format cppcheck
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev libfmt-dev libunicorn-dev
  uefitool-cli ovmf-ia32 liblzma-dev sigrok-cli qemu-system-x86
  # EDK II from Debian's source package (scripts/edk2.sh): the unpacking and
  # patching, BaseTools' C tools, and the assembler and ACPI compiler that
  # the firmware build calls.
  dpkg-dev patch uuid-dev nasm acpica-tools
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
