#!/usr/bin/env bash
# Runs the agent as `make demo` does: on the demo domain, every table every
# few seconds (demo-requests.yaml beside this script), the demo domain's two
# open queue spaces watched, metrics served at $2; without $2 at
# 127.0.0.1:9464, or the first free port after it when that one is taken.
#   usage: examples/run-demo.sh BUILD_DIR [HOST:PORT]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"

# True when something listens on 127.0.0.1:$1.
taken() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

http="${2:-}"
if [ -z "$http" ]; then
  port=9464
  while taken "$port" && [ "$port" -lt 9564 ]; do port=$((port + 1)); done
  if [ "$port" -ne 9464 ]; then
    echo "make demo: port 9464 is taken; using $port (DEMO_HTTP=host:port chooses one)" >&2
  fi
  http="127.0.0.1:$port"
fi
echo "make demo: metrics at http://$http/metrics; in another terminal: build/ztaquery --agent http://$http TXSERVER (what the agent sampled) or build/ztaquery TXSERVER (a sample now); Ctrl-C stops" >&2

export AGW_CONFIG="$here/demo-requests.yaml"
export AGW_HTTP="$http"
export TXAPPQSPACENAME='QSPACE1;QSPACE2;'
export TXQMCONFIG='/srv/bank/queues/qdev1;/srv/bank/queues/qdev2;'
export TXLMID='SITE1;SITE2;'
exec "$1/ztaagent"
