#!/usr/bin/env bash
# Fails when a Linux executable needs more than Ubuntu 22.04 LTS has: a symbol version above glibc
# 2.35 or above GCC 12's libstdc++ and libgcc_s, or a shared library outside the list the docs
# give (docs/integration.md). The build machine's newer glibc must not leak into the packages.
#   floor.sh EXECUTABLE...
set -euo pipefail
# Highest version per name space, as on Ubuntu 22.04 (glibc 2.35, libstdc++6 and libgcc-s1 of GCC 12).
declare -A floor=([GLIBC]=2.35 [GLIBCXX]=3.4.30 [CXXABI]=1.3.13 [GCC]=12.0.0)
allowed='^(libatspi\.so\.0|libgobject-2\.0\.so\.0|libglib-2\.0\.so\.0|libdbus-1\.so\.3|libX11\.so\.6|libXi\.so\.6|libstdc\+\+\.so\.6|libgcc_s\.so\.1|libm\.so\.6|libc\.so\.6|ld-linux-(x86-64|aarch64)\.so\.[12])$'
status=0
for exe in "$@"; do
  while read -r space version; do
    highest=$(printf '%s\n%s\n' "$version" "${floor[$space]}" | sort -V | tail -1)
    if [[ $highest != "${floor[$space]}" ]]; then
      echo "$exe needs ${space}_$version, above Ubuntu 22.04's ${space}_${floor[$space]}:" >&2
      objdump -T "$exe" | grep -F "(${space}_$version)" >&2
      status=1
    fi
  done < <(objdump -T "$exe" | grep -oE '\((GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)' | tr -d '()' |
           sed 's/_/ /' | sort -u)
  while read -r library; do
    [[ $library =~ $allowed ]] || { echo "$exe needs $library, which is not in the list of docs/integration.md (Linux libraries)" >&2; status=1; }
  done < <(objdump -p "$exe" | sed -n 's/^ *NEEDED *//p')
done
exit $status
