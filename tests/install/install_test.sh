#!/usr/bin/env bash
# End to end from an install: installs the build tree into a temporary prefix and moves it (the
# installed velko finds its module and reaper relative to itself), then checks `velko
# --version`; builds a copy of the C++ example sim outside the tree against the installed
# VelkoSim package and validates it; validates and publishes the Python example from the
# install with the installed local servers and dataset; and pip-installs build/python offline.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR [SANITIZED]; SANITIZED is 1 for a build with
# the sanitizers, whose installed library a sim can link only when it is built with them too.
set -euo pipefail
source_dir=$1
build_dir=$2
sanitized=${3:-0}
python=/usr/bin/python3

source "$source_dir/scripts/lib/servers.sh"
tmp=$server_work
fail() { echo "FAILED: $*" >&2; exit 1; }

echo "== install into a temporary prefix, then move it"
cmake --install "$build_dir" --prefix "$tmp/staged" >/dev/null
mv "$tmp/staged" "$tmp/moved"
prefix=$tmp/moved
velko=$prefix/bin/velko
# Nothing from the build tree or a checkout may be found on the way.
unset VELKO_SIM_PYTHONPATH PYTHONPATH
cd "$tmp"

version=$("$velko" --version)
echo "$version"
[[ $version == *[0-9].[0-9]* ]] || fail "velko --version printed '$version'"

echo "== the C++ example built outside the tree against the installed package"
cp -r "$prefix/share/velko/examples/sims/water-tank" "$tmp/tank"
echo '{"command": ["build/velko-water-tank-sim"]}' >"$tmp/tank/velko-sim.json"
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
if [ "$sanitized" = 1 ]; then launcher+=(-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined); fi
cmake -S "$tmp/tank" -B "$tmp/tank/build" -DCMAKE_PREFIX_PATH="$prefix" "${launcher[@]}" \
  >"$tmp/tank-configure.log" || { cat "$tmp/tank-configure.log"; fail "configuring the copy"; }
cmake --build "$tmp/tank/build" -j2 >"$tmp/tank-build.log" 2>&1 ||
  { cat "$tmp/tank-build.log"; fail "building the copy"; }
"$velko" sim validate "$tmp/tank" --steps 20

echo "== the Python example from the install, with the installed servers and dataset"
VELKO_SERVER_BIN=$prefix/bin start_local_services "$prefix/share/velko/examples/datasets" \
  --build-seconds 0 --report-seconds 0
py_tank=$prefix/share/velko/examples/sims/water-tank-py
"$velko" sim validate "$py_tank" --steps 20
"$velko" sim publish "$py_tank" --dataset water-tank-runs --project "Water plant" \
  >"$tmp/publish.log" 2>&1 || { cat "$tmp/publish.log"; fail "sim publish from the install"; }
tail -n 3 "$tmp/publish.log"

echo "== an install without its module says what to do"
mv "$prefix/lib/velko" "$prefix/lib/velko.away"
if "$velko" sim publish "$py_tank" --dataset water-tank-runs >"$tmp/missing.log" 2>&1; then
  fail "sim publish without the sim connection module succeeded"
fi
grep -q "reinstall velko" "$tmp/missing.log" || { cat "$tmp/missing.log"; fail "no clear error"; }

echo "== pip install of build/python, offline, beside Debian's grpcio and protobuf"
"$python" -m venv --system-site-packages --without-pip "$tmp/venv"
PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 "$python" -m pip \
  --python "$tmp/venv/bin/python" install --no-index --quiet "$build_dir/python" ||
  fail "pip install $build_dir/python"
(cd / && "$tmp/venv/bin/python" -c 'import velko_sim, velko_sim._proto.sim_pb2_grpc as s
assert "/venv/" in velko_sim.__file__, velko_sim.__file__') || fail "velko_sim from the venv"
echo "== install test passed"
