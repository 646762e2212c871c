#!/usr/bin/env bash
# Fails when a file under the given driver folder includes anything but the
# kernel headers (<fltKernel.h>, <ntifs.h>, ...) and the project's own headers.
# A quoted include must name a file of the driver, the wire formats or our
# Filter Manager declarations.
set -u
driver_dir=${1:?usage: driver_includes.sh DRIVER_DIR [PROJECT_ROOT]}
root=${2:-$(cd "$driver_dir/.." && pwd)}
kernel_headers='fltKernel|ntifs|ntddk|wdm|ntstrsafe|ntintsafe|mountdev|ntdddisk|ntddstor'
status=0

while IFS= read -r -d '' file; do
  lineno=0
  while IFS= read -r line; do
    lineno=$((lineno + 1))
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*([\<\"])([^\>\"]+)[\>\"] ]] || continue
    kind=${BASH_REMATCH[1]} name=${BASH_REMATCH[2]}
    if [[ $kind == "<" ]]; then
      if ! [[ $name =~ ^($kernel_headers)\.h$ ]]; then
        echo "$file:$lineno: includes <$name>, which is not a kernel header"
        status=1
      fi
    else
      dir=$(dirname "$file")
      found=0
      for base in "$dir" "$driver_dir" "$root/protocol" "$root/platform/include"; do
        [[ -f $base/$name ]] && found=1 && break
      done
      if [[ $found == 0 ]]; then
        echo "$file:$lineno: includes \"$name\", which is not a driver, protocol or platform header"
        status=1
      fi
    fi
  done < "$file"
done < <(find "$driver_dir" -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.inl' \) -print0)

exit $status
