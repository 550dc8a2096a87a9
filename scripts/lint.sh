#!/usr/bin/env bash
# Static analysis and formatting: clang-tidy (.clang-tidy), cppcheck and a
# clang-format check (.clang-format) over every source file. Fails on any
# finding.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/setup.sh"
need_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" libbenchmark-dev clang-tidy clang-format cppcheck
cd "$root"

build=$root/build/lint
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DSECTORSCAN_BUILD_BENCH=ON >/dev/null

mapfile -t sources < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h')
mapfile -t tidy_sources < <(printf '%s\n' "${sources[@]}" | grep -E '^(src|tests|bench)/.*\.cpp$')

echo "=== clang-format" >&2
clang-format --dry-run --Werror "${sources[@]}"
echo "=== clang-tidy" >&2
if ! clang-tidy -p "$build" --quiet "${tidy_sources[@]}" >"$build/clang-tidy.log" 2>&1; then
    grep -v 'warnings generated' "$build/clang-tidy.log" >&2
    exit 1
fi
echo "=== cppcheck" >&2
mapfile -t cxx_sources < <(printf '%s\n' "${sources[@]}" | grep -E '\.(cpp|h)$')
cppcheck --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --quiet \
    --language=c++ --std=c++20 -I src "${cxx_sources[@]}"
echo "=== lint clean" >&2
