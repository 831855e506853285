#!/bin/sh
# ./setup --missing names exactly the packages of the given steps that an
# installed list lacks, in the list's order, each once.
#   missing_test.sh SOURCE_DIR
set -eu
setup="$1/setup"
failures=0

# expect STEPS INSTALLED EXPECTED: installed and expected as space-separated names.
expect() {
    got="$(printf '%s\n' $2 | "$setup" --missing $1 | tr '\n' ' ')"
    got="${got% }"
    if [ "$got" != "$3" ]; then
        echo "steps '$1', installed '$2': got '$got', want '$3'"
        failures=$((failures + 1))
    fi
}

py="python3-dev pybind11-dev python3-numpy python3-pytest"
expect build "" "googletest libcli11-dev zlib1g-dev libjpeg62-turbo-dev $py"
expect build "googletest libcli11-dev zlib1g-dev libjpeg62-turbo-dev $py" ""
expect build "zlib1g-dev googletest libjpeg62-turbo-dev $py" "libcli11-dev"
expect build "googletest libcli11-dev zlib1g-dev libjpeg62-turbo-dev pybind11-dev" "python3-dev python3-numpy python3-pytest"
# Names that only begin or end like a needed one are other packages.
expect build "libcli11-dev-doc zlib1g googletest-tools libjpeg62-turbo python3 python3-numpy-dev" "googletest libcli11-dev zlib1g-dev libjpeg62-turbo-dev $py"
expect "build bench" "libcli11-dev libbenchmark-dev $py" "googletest zlib1g-dev libjpeg62-turbo-dev libjpeg-turbo-progs"
expect "fuzz fuzz" "" "libclang-rt-14-dev"
expect memcheck "valgrind" ""
expect bench "libgtest-dev libgmock-dev" "libbenchmark-dev libjpeg-turbo-progs"

# An unknown step is refused before anything is looked up or installed.
if "$setup" nosuchstep >/dev/null 2>&1; then
    echo "an unknown step was accepted"
    failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
