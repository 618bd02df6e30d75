#!/usr/bin/env bash
# The main job: builds the library and vgctl, then asks the configured
# screening service with vgctl. Arguments go to vgctl (default: is-black
# 127.0.0.1); the service is found through VIGILON_REGISTRY and
# VIGILON_PIPE_DIR as the library finds it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target vgctl -j "$(nproc)" >/dev/null
if [ $# -eq 0 ]; then set -- is-black 127.0.0.1; fi
exec build/default/vgctl "$@"
