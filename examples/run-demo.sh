#!/usr/bin/env bash
# Runs the agent as `make demo` does: on the demo domain, every table every
# few seconds (demo-requests.yaml beside this script), the demo domain's two
# open queue spaces watched, metrics served at $2.
#   usage: examples/run-demo.sh BUILD_DIR [HOST:PORT]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export AGW_CONFIG="$here/demo-requests.yaml"
export AGW_HTTP="${2:-127.0.0.1:9464}"
export TXAPPQSPACENAME='QSPACE1;QSPACE2;'
export TXQMCONFIG='/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;'
export TXLMID='SITE1;SITE2;'
exec "$1/ztaagent"
