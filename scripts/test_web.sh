#!/usr/bin/env bash
# The records view in a real browser: Debian's Chromium (chromium-headless-shell) driven by
# playwright-core from tests/web/package-lock.json, against a station's store and a throw-away
# PostgreSQL server. With --screenshot it also rewrites docs/records_view.png from the demo data.
#   bash scripts/test_web.sh [--screenshot]   (BUILD_DIR=build by default)
set -euo pipefail
cd "$(dirname "$0")/.."
export LUMAFLASH_BUILD=${BUILD_DIR:-build}
[[ -x $LUMAFLASH_BUILD/cli/lumaflash-cli ]] || { echo "test_web: build first (scripts/build.sh)" >&2; exit 1; }
# The browser comes from Debian; playwright-core never downloads one.
export PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1
if [[ ! -d tests/web/node_modules/playwright-core ]]; then
  (cd tests/web && npm ci --ignore-scripts --no-audit --no-fund)
fi
if [[ ${1:-} == --screenshot ]]; then
  export LUMAFLASH_WEB_SCREENSHOT=$PWD/docs/records_view.png
fi
bash scripts/with_postgres.sh node --test --test-reporter=spec tests/web/
