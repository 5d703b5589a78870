#!/usr/bin/env bash
# Sets up everything on a fresh machine and then runs one job:
#   ./dev.sh demo    build, then run "planeseg demo": segment a generated room with both
#                    methods, write PLY, NPY and PNG into planeseg-demo/ and print the quality
#   ./dev.sh test    build, then run the C++ kernel tests and the Python test suite, then
#                    both again against an AddressSanitizer + UBSan build (test-asan)
#   ./dev.sh build   build and install into .venv only
#   ./dev.sh test-asan  the same tests against modules built with AddressSanitizer and
#                    UndefinedBehaviorSanitizer (build/asan); test-tsan: ThreadSanitizer
#   ./dev.sh bench   build, install the peers (Open3D) and readers, then run bench/run.py
#                    (extra arguments go to it, for example --quick)
# Installs the Debian packages it needs when missing (as root, or through sudo), creates
# .venv with Python 3.10 where the machine has it (else python3 >= 3.10) and builds the
# extension modules into it, incrementally in build/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

job="${1:-}"
shift || true
case "$job" in demo | test | test-asan | test-tsan | build | bench) ;; *)
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
  ;;
esac

apt_packages=(g++ libeigen3-dev libnanoflann-dev libgtest-dev)

ensure_debian_packages() {
  local missing=()
  for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  echo "== installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python() {
  local candidates=(python3.10)
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root="$(pyenv root)"
    for d in "$root"/versions/3.10*; do [ -x "$d/bin/python3.10" ] && candidates+=("$d/bin/python3.10"); done
  fi
  candidates+=(python3)
  for c in "${candidates[@]}"; do
    if "$c" -c 'import sys; sys.exit(sys.version_info < (3, 10))' >/dev/null 2>&1; then
      echo "$c"
      return
    fi
  done
  echo "no Python 3.10 or newer found" >&2
  exit 1
}

# pip with this machine's noise ("Location ... is ignored") filtered out; keeps pip's exit status.
pip_quiet() {
  local log status=0
  log="$(mktemp)"
  .venv/bin/python -m pip --disable-pip-version-check "$@" >"$log" 2>&1 || status=$?
  grep -v "is ignored: it is neither a file nor a directory" "$log" || true
  rm -f "$log"
  return $status
}

ensure_venv() {
  local python
  python="$(find_python)"
  local want
  want="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  if [ -x .venv/bin/python ]; then
    local have
    have="$(.venv/bin/python -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true)"
    [ "$have" = "$want" ] || rm -rf .venv
  fi
  if [ ! -x .venv/bin/python ]; then
    echo "== creating .venv with $("$python" --version)"
    "$python" -m venv .venv
    pip_quiet install -q --upgrade pip
  fi
  pip_quiet install -q -r requirements-dev.txt
}

build() {
  echo "== building the extension modules"
  local tag
  tag="$(.venv/bin/python -c 'import sys; print("cp%d%d" % sys.version_info[:2])')"
  pip_quiet install -q --no-build-isolation --no-deps . \
    --config-settings=build-dir="build/$tag" --config-settings=cmake.define.PLANESEG_BUILD_TESTS=ON
  BUILD_DIR="build/$tag"
}

# Builds the modules and kernel tests with sanitizer flags into build/<kind> (installed into
# build/<kind>/site, which goes first on PYTHONPATH), then runs both suites with the runtime
# preloaded into Python.
sanitizer_test() {
  local kind="$1" flags="$2" runtime="$3" extra="$4"
  local dir="build/$kind"
  echo "== building the extension modules with $kind"
  .venv/bin/cmake -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLANESEG_BUILD_MODULES=ON \
    -DPLANESEG_BUILD_TESTS=ON -DPLANESEG_EXTRA_FLAGS="$flags" -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
    -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" $extra >/dev/null
  .venv/bin/cmake --build "$dir" >/dev/null
  .venv/bin/cmake --install "$dir" --prefix "$dir/site" >/dev/null
  echo "== C++ kernel tests ($kind)"
  .venv/bin/ctest --test-dir "$dir" --output-on-failure
  echo "== Python tests ($kind)"
  # libstdc++ too: Python does not link it, and the runtime must find the real __cxa_throw.
  local preload
  preload="$(g++ -print-file-name="$runtime") $(g++ -print-file-name=libstdc++.so)"
  PYTHONPATH="$PWD/$dir/site" LD_PRELOAD="$preload" PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 \
    .venv/bin/python -m pytest -p no:cacheprovider "${@:5}"
}

run_asan() {
  # Python itself leaks by design at exit; UB stops the run at the first report.
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    sanitizer_test asan "-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    libasan.so "" "$@"
}

ensure_debian_packages
ensure_venv
build

case "$job" in
demo) .venv/bin/planeseg demo "$@" ;;
test)
  echo "== C++ kernel tests"
  .venv/bin/ctest --test-dir "$BUILD_DIR" --output-on-failure
  echo "== Python tests"
  # Third-party plugins (Open3D brings dash's) are not ours to run, nor their warnings.
  PYTEST_DISABLE_PLUGIN_AUTOLOAD=1 .venv/bin/python -m pytest "$@"
  run_asan "$@"
  ;;
test-asan) run_asan "$@" ;;
test-tsan)
  # libgomp is not instrumented and its barriers would read as races: the features loop runs
  # serially here (PLANESEG_OPENMP=OFF); the suppressions cover other uninstrumented libraries.
  TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
    sanitizer_test tsan "-fsanitize=thread" libtsan.so "-DPLANESEG_OPENMP=OFF" "$@"
  ;;
build) ;;
esac
