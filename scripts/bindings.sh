#!/usr/bin/env bash
# Builds the language packages into DIST from native libraries already built, all carrying the
# CMake project's version:
#   Kalvicom.VERSION.nupkg    the .NET assembly (lib/net461) and the native library for
#                             runtimes/win-x64, win-x86 and linux-x64
#   kalvicom-VERSION-py3-none-{any,linux_x86_64,win_amd64,win32}.whl
#                             the Python package: pure, and with each native library beside it
#
#   scripts/bindings.sh DIST LINUX_X64_SO WIN64_DLL WIN32_DLL
#
# Called by scripts/release.sh; needs Mono's C# compiler (mono-mcs) and python3.
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: scripts/bindings.sh DIST LINUX_X64_SO WIN64_DLL WIN32_DLL" >&2
  exit 2
fi
dist=$(realpath "$1")
linux_so=$(realpath "$2")
win64_dll=$(realpath "$3")
win32_dll=$(realpath "$4")
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(kalvicom VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project version in CMakeLists.txt" >&2; exit 1; }
# The Linux library without its symbols, as the Windows ones come from an install --strip.
scratch=$dist/.bindings
rm -rf "$scratch"
mkdir -p "$scratch"
cp -L "$linux_so" "$scratch/libkalvicom.so"
strip --strip-unneeded "$scratch/libkalvicom.so"
linux_so=$scratch/libkalvicom.so

# The NuGet package: a zip laid out as NuGet reads it; its manifest is bindings/dotnet/package-manifest.xml.
stage=$scratch/nupkg
mkdir -p "$stage/lib/net461" "$stage/_rels"
cmake -DMCS="$(command -v mcs)" -DVERSION="$version" -DOUT="$stage/lib/net461/Kalvicom.dll" \
  -P bindings/dotnet/assembly.cmake
for place in win-x64:"$win64_dll" win-x86:"$win32_dll" linux-x64:"$linux_so"; do
  rid=${place%%:*} file=${place#*:}
  name=kalvicom.dll
  [ "$rid" = linux-x64 ] && name=libkalvicom.so
  mkdir -p "$stage/runtimes/$rid/native"
  cp -L "$file" "$stage/runtimes/$rid/native/$name"
done
sed "s/@VERSION@/$version/" bindings/dotnet/package-manifest.xml >"$stage/Kalvicom.nuspec"
cp bindings/dotnet/README.md "$stage/README.md"
cat >"$stage/[Content_Types].xml" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
  <Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml" />
  <Default Extension="nuspec" ContentType="application/octet" />
  <Default Extension="dll" ContentType="application/octet" />
  <Default Extension="so" ContentType="application/octet" />
  <Default Extension="md" ContentType="application/octet" />
</Types>
EOF
cat >"$stage/_rels/.rels" <<'EOF'
<?xml version="1.0" encoding="utf-8"?>
<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">
  <Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/Kalvicom.nuspec" Id="R0" />
</Relationships>
EOF
rm -f "$dist/Kalvicom.$version.nupkg"
(cd "$stage" && cmake -E tar cf "$dist/Kalvicom.$version.nupkg" --format=zip -- \
  '[Content_Types].xml' _rels/.rels Kalvicom.nuspec README.md lib runtimes)

# The wheels, by the package's own build backend.
PYTHONDONTWRITEBYTECODE=1 python3 - "$dist" "$linux_so" "$win64_dll" "$win32_dll" <<'EOF'
import os, shutil, sys, tempfile
sys.path.insert(0, "bindings/python")
import kalvicom_build
dist, linux_so, win64_dll, win32_dll = sys.argv[1:]
print(kalvicom_build.build_wheel(dist))
with tempfile.TemporaryDirectory() as scratch:
    for source, name, platform in ((linux_so, "libkalvicom.so", "linux_x86_64"),
                                   (win64_dll, "kalvicom.dll", "win_amd64"),
                                   (win32_dll, "kalvicom.dll", "win32")):
        native = os.path.join(scratch, platform, name)
        os.makedirs(os.path.dirname(native))
        shutil.copyfile(source, native)
        print(kalvicom_build.build_wheel(dist, {"native": native, "platform": platform}))
EOF
rm -rf "$scratch"
