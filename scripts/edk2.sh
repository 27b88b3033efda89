#!/usr/bin/env bash
# The module built by EDK II, from Debian's source package of EDK II (the
# source Debian's ovmf-ia32 is built from).
#
#   scripts/edk2.sh [STAGE...]     stages, in this order by default:
#     prepare  the EDK II tree with Debian's patch series and BaseTools built,
#              kept outside the clone and keyed by the EDK II version, so
#              that it is made once per machine (see edk2_cache below);
#     check    tests/edk2/PiDefsCheck.cpp: our PI definitions against
#              MdePkg's, compiled with EDK II's GCC5 flags and with our
#              image's clang flags;
#     module   ClockRampPkg's DSC, DEBUG and RELEASE with GCC5, DEBUG with
#              CLANGPDB, into build/edk2/;
#     ovmf     OvmfPkgIa32 DEBUG with the module built from source and the
#              QEMU harness's helper PEIMs in its PEI volume, and again with
#              the project's own image through its binary INF and the FDF
#              rule of docs/image.md: build/edk2/ovmf/{source,binary}/;
#     tests    the project's checks on the images EDK II made, and the QEMU
#              harness's scenarios on both firmware images (ctest --preset
#              edk2: the tests labelled edk2, which the default preset leaves out).
# A stage that needs the default build builds it first.
#
# Environment: CLOCKRAMP_CACHE (default ${XDG_CACHE_HOME:-$HOME/.cache}/clockramp)
# holds the prepared trees; CLOCKRAMP_EDK2_JOBS (default: at most 2) the
# build threads.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
jobs="${CLOCKRAMP_EDK2_JOBS:-$(($(nproc) < 2 ? $(nproc) : 2))}"
started=$SECONDS

note() { echo "edk2: $* ($((SECONDS - started)) s)"; }

# The EDK II version is that of the installed ovmf-ia32, which Debian builds
# from the same source package: the harness's firmware and the tree agree.
edk2_version() {
  dpkg-query -W -f='${source:Version}' ovmf-ia32 2>/dev/null ||
    { echo "edk2: ovmf-ia32 is not installed (scripts/deps.sh installs it)" >&2; exit 2; }
}
version="$(edk2_version)"
cache_root="${CLOCKRAMP_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/clockramp}"
edk2_cache="$cache_root/edk2-$version"
src="$edk2_cache/src"
workspace="$root/build/edk2"

# A Debian patch that is left out: with it, OvmfPkgIa32 without secure boot
# does not build (it drops the shell only where secure boot is on, and the
# platform description then misses the shell's libraries).
skipped_patch="Disable-the-Shell-when-SecureBoot-is-enabled.patch"

# Writes deb-src entries that mirror the machine's own apt sources into $1.
derive_source_entries() {
  local dir=$1 f
  mkdir -p "$dir/sources.list.d"
  : > "$dir/sources.list"
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    sed -E 's/^Types:.*/Types: deb-src/' "$f" > "$dir/sources.list.d/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    sed -nE 's/^deb[[:space:]]/deb-src /p' "$f" >> "$dir/sources.list"
  done
}

prepare() {
  if [ -f "$edk2_cache/prepared" ]; then
    note "EDK II $version already prepared in $edk2_cache"
    return
  fi
  mkdir -p "$cache_root"
  exec 9> "$cache_root/edk2-$version.lock"
  flock 9
  if [ -f "$edk2_cache/prepared" ]; then
    exec 9>&-
    return
  fi
  note "preparing EDK II $version in $edk2_cache"
  rm -rf "$edk2_cache"
  mkdir -p "$edk2_cache/apt/lists/partial"
  derive_source_entries "$edk2_cache/apt"
  local apt_options=(
    -o "Dir::Etc::SourceList=$edk2_cache/apt/sources.list"
    -o "Dir::Etc::SourceParts=$edk2_cache/apt/sources.list.d"
    -o "Dir::State::Lists=$edk2_cache/apt/lists"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "APT::Sandbox::User=root"
  )
  apt-get -q "${apt_options[@]}" update > "$edk2_cache/apt.log"
  (cd "$edk2_cache" && apt-get -q "${apt_options[@]}" source --download-only "edk2=$version" \
    >> apt.log)
  local dsc
  dsc="$(ls "$edk2_cache"/edk2_*.dsc)"
  # apt checked the files against the archive's signed index; dpkg-source's
  # own check of the .dsc signature needs a keyring this machine may lack.
  dpkg-source --skip-patches -x "$dsc" "$src" > "$edk2_cache/unpack.log" 2>&1 ||
    { cat "$edk2_cache/unpack.log" >&2; exit 1; }
  local patch applied=0
  while read -r patch; do
    case "$patch" in '' | '#'*) continue ;; esac
    [ "$patch" = "$skipped_patch" ] && continue
    patch -d "$src" -p1 -s --no-backup-if-mismatch < "$src/debian/patches/$patch"
    applied=$((applied + 1))
  done < "$src/debian/patches/series"
  note "applied $applied of Debian's patches, all but $skipped_patch"
  nice -n 10 make -C "$src/BaseTools" -j "$jobs" > "$edk2_cache/basetools.log" 2>&1 ||
    { tail -n 40 "$edk2_cache/basetools.log" >&2; exit 1; }
  rm -f "$edk2_cache"/*.orig.tar.* "$edk2_cache"/*.debian.tar.*
  touch "$edk2_cache/prepared"
  exec 9>&-
  note "EDK II $version prepared"
}

require_prepared() {
  [ -f "$edk2_cache/prepared" ] || { echo "edk2: not prepared (run: scripts/edk2.sh prepare)" >&2; exit 2; }
}

# Runs EDK II's build in the project's workspace (build/edk2), with the
# prepared tree and the clone's edk2/ folder on PACKAGES_PATH.
edk2_build() {
  (
    export WORKSPACE="$workspace"
    export PACKAGES_PATH="$src:$root/edk2:$workspace/packages"
    export EDK_TOOLS_PATH="$src/BaseTools"
    export CONF_PATH="$workspace/Conf"
    mkdir -p "$CONF_PATH" "$workspace/packages"
    cd "$src"
    set +u  # edksetup.sh reads variables it may not have set
    # shellcheck disable=SC1091
    . ./edksetup.sh BaseTools > /dev/null
    set -u
    cd "$workspace"
    nice -n 10 build -n "$jobs" "$@"
  )
}

check() {
  require_prepared
  local includes=(-I"$root" -I"$src/MdePkg/Include" -I"$src/MdePkg/Include/Ia32")
  # EDK II's GCC5 flags for IA-32 (the C++ dialect is GCC's default).
  g++ -fsyntax-only -m32 -march=i586 -malign-double -ffreestanding -fshort-wchar -fno-builtin \
    -fno-strict-aliasing -Wall -Werror -D EFI32 "${includes[@]}" tests/edk2/PiDefsCheck.cpp
  # The flags of the project's own image.
  clang++ -fsyntax-only --target=i686-pc-windows-msvc -std=c++20 -Wall -Wextra -Werror \
    -ffreestanding -fno-builtin "${includes[@]}" tests/edk2/PiDefsCheck.cpp
  note "our PI definitions agree with MdePkg's (GCC5 IA32 and clang i686 flags)"
}

module() {
  require_prepared
  local build target toolchain log
  mkdir -p "$workspace"
  # GCC5 as the firmware is built, DEBUG and RELEASE; and CLANGPDB (clang and
  # lld-link, which the project's own image uses too) in DEBUG.
  for build in DEBUG:GCC5 RELEASE:GCC5 DEBUG:CLANGPDB; do
    target="${build%%:*}"
    toolchain="${build##*:}"
    log="$workspace/ClockRampPkg-${target}_$toolchain.log"
    CLANG_BIN="$(dirname "$(command -v clang)")/" \
      edk2_build -p ClockRampPkg/ClockRampPkg.dsc -a IA32 -t "$toolchain" -b "$target" \
      > "$log" 2>&1 || { tail -n 40 "$log" >&2; exit 1; }
    note "ClockRampPkg ${target}_$toolchain: $(stat -c %s \
      "$workspace/Build/ClockRampPkg/${target}_$toolchain/IA32/ClockRamp.efi") bytes"
  done
}

default_build() {
  scripts/build.sh default > /dev/null
}

# A binary module's folder: the INF and the image and depex it names.
binary_module() {
  local dir=$1 name=$2 guid=$3 efi=$4 depex=$5
  mkdir -p "$dir"
  cp "$efi" "$dir/$name.efi"
  cp "$depex" "$dir/$name.depex"
  cat > "$dir/$name.inf" <<EOF
[Defines]
  INF_VERSION                    = 0x00010005
  BASE_NAME                      = $name
  FILE_GUID                      = $guid
  MODULE_TYPE                    = PEIM
  VERSION_STRING                 = 1.0

[Binaries.Ia32]
  PE32|$name.efi
  PEI_DEPEX|$name.depex
EOF
}

# OvmfPkgIa32's platform description and flash layout, copied with three
# files added at the end of the PEI volume (the scenario PEIM, ClockRamp, the
# exit PEIM: the order in which the QEMU harness inserts them) and the rule
# for binary PEIMs appended. Prints the DSC's path in the workspace.
ovmf_platform() {
  local variant=$1 clockramp_inf=$2 pkg="$workspace/packages/ClockRampOvmfPkg"
  local name="ClockRampOvmfIa32-$variant" override=""
  [ "$variant" = binary ] && override="RuleOverride = BINARY "
  sed -e 's|^\( *OUTPUT_DIRECTORY *=\).*|\1 Build/ClockRampOvmfIa32|' \
      -e "s|^\\( *FLASH_DEFINITION *=\\).*|\\1 ClockRampOvmfPkg/$name.fdf|" \
      "$src/OvmfPkg/OvmfPkgIa32.dsc" > "$pkg/$name.dsc"
  if [ "$variant" = source ]; then
    printf '\n[Components.IA32]\n  %s\n' "$clockramp_inf" >> "$pkg/$name.dsc"
  fi
  # The FDF's own includes are relative to its folder: make them OvmfPkg's.
  awk -v inf="$clockramp_inf" -v override="$override" '
    $1 == "!include" && $2 !~ /\// { print "!include OvmfPkg/" $2; next }
    { print }
    /^!include OvmfPkg\/OvmfTpmPei.fdf.inc/ {
      print "INF  RuleOverride = BINARY ClockRampOvmfPkg/Helpers/ClockRampQemuScenario/ClockRampQemuScenario.inf"
      print "INF  " override inf
      print "INF  RuleOverride = BINARY ClockRampOvmfPkg/Helpers/ClockRampQemuExit/ClockRampQemuExit.inf"
    }' "$src/OvmfPkg/OvmfPkgIa32.fdf" > "$pkg/$name.fdf"
  grep -q ClockRampQemuExit "$pkg/$name.fdf" ||
    { echo "edk2: no place for the PEIMs in OVMF's FDF" >&2; exit 1; }
  cat >> "$pkg/$name.fdf" <<'EOF'

[Rule.Common.PEIM.BINARY]
  FILE PEIM = $(NAMED_GUID) {
    PEI_DEPEX PEI_DEPEX Optional |.depex
    PE32      PE32               |.efi
    UI        STRING="$(MODULE_NAME)" Optional
  }
EOF
  echo "ClockRampOvmfPkg/$name.dsc"
}

ovmf() {
  require_prepared
  default_build
  local pkg="$workspace/packages/ClockRampOvmfPkg" variant dsc log out
  rm -rf "$pkg"
  mkdir -p "$pkg"
  # The helpers need the PCD PPI, as ClockRamp does: the same depex.
  binary_module "$pkg/Helpers/ClockRampQemuScenario" ClockRampQemuScenario \
    5E2B8C31-7D4A-4F6E-9B1C-2A3D4E5F6071 build/qemu/ScenarioPeim.efi build/image/ClockRamp.depex
  binary_module "$pkg/Helpers/ClockRampQemuExit" ClockRampQemuExit \
    6F3C9D42-8E5B-4A7F-8C2D-3B4E5F607182 build/qemu/ExitPeim.efi build/image/ClockRamp.depex
  # The project's binary module, as its build wrote it.
  mkdir -p "$pkg/ClockRampBin/ClockRamp"
  cp build/image/ClockRamp.inf build/image/ClockRamp.efi build/image/ClockRamp.depex \
    "$pkg/ClockRampBin/ClockRamp/"
  for variant in source binary; do
    if [ "$variant" = source ]; then
      dsc="$(ovmf_platform source ClockRampPkg/ClockRamp/ClockRamp.inf)"
    else
      dsc="$(ovmf_platform binary ClockRampOvmfPkg/ClockRampBin/ClockRamp/ClockRamp.inf)"
    fi
    log="$workspace/ovmf-$variant.log"
    edk2_build -p "$dsc" -a IA32 -t GCC5 -b DEBUG \
      -D SECURE_BOOT_ENABLE=FALSE -D NETWORK_ENABLE=FALSE -D TPM2_ENABLE=FALSE \
      -D SMM_REQUIRE=FALSE > "$log" 2>&1 ||
      { tail -n 40 "$log" >&2; exit 1; }
    out="$workspace/ovmf/$variant"
    mkdir -p "$out"
    cp "$workspace/Build/ClockRampOvmfIa32/DEBUG_GCC5/FV/OVMF_CODE.fd" \
      "$workspace/Build/ClockRampOvmfIa32/DEBUG_GCC5/FV/OVMF_VARS.fd" "$out/"
    note "OVMF with ClockRamp ($variant): $out/OVMF_CODE.fd"
  done
}

tests() {
  default_build
  ctest --preset edk2 --no-tests=error
}

stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(prepare check module ovmf tests)
for stage in "${stages[@]}"; do
  case "$stage" in
    prepare | check | module | ovmf | tests) "$stage" ;;
    *) echo "edk2: unknown stage $stage" >&2; exit 2 ;;
  esac
done
note "done"
