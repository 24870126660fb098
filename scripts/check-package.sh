#!/usr/bin/env bash
# Packs the package and installs the tarball into a fresh app the way a user
# would, on a PATH with node and npm but no cmake and no compiler; then runs
# a CommonJS and an ES module program against the embedded database. Fails
# if the install built anything or a program fails.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tarball=$(npm pack --pack-destination "$work" 2>/dev/null | tail -n 1)
echo "packed $tarball: $(du -k "$work/$tarball" | cut -f1) KB"
contents=$(tar -tzf "$work/$tarball")
for file in zelk.node libdbcapiZKV.so; do
  grep -qx "package/prebuilds/linux-x64/$file" <<<"$contents" || { echo "no prebuilt $file in the tarball"; exit 1; }
done

# node, npm and the shell npm runs scripts with: a build from source would
# fail for want of cmake and g++.
bin="$work/bin"
mkdir -p "$bin"
ln -s "$(command -v node)" "$bin/node"
ln -s "$(command -v sh)" "$bin/sh"
ln -s "$(readlink -f "$(command -v npm)")" "$bin/npm"
for tool in cmake cc gcc g++ c++ make; do
  if PATH="$bin" command -v "$tool" >/dev/null 2>&1; then echo "$tool is on the install PATH"; exit 1; fi
done

app="$work/app"
mkdir -p "$app"
cd "$app"
PATH="$bin" npm init -y >/dev/null
start=$(date +%s%N)
PATH="$bin" npm install --foreground-scripts --no-audit --no-fund "$work/$tarball" >"$work/install.log" 2>&1 \
  || { cat "$work/install.log"; exit 1; }
end=$(date +%s%N)
cat "$work/install.log"
grep -q 'zelk: using the prebuilt binary for linux-x64' "$work/install.log" || { echo "the install did not use the prebuilt binary"; exit 1; }
[ ! -e node_modules/zelk/build ] || { echo "the install built from source"; exit 1; }
echo "installed in $(( (end - start) / 1000000 )) ms; node_modules/zelk is $(du -sk node_modules/zelk | cut -f1) KB"

cat > cjs.js <<'JS'
const zelk = require('zelk');
const { connect } = require('zelk/promises');
const c = zelk.createConnection();
c.connect('');
const rows = c.exec('SELECT 1 AS x FROM DUMMY');
if (JSON.stringify(rows) !== '[{"x":1}]') throw new Error('sync exec gave ' + JSON.stringify(rows));
c.disconnect();
(async () => {
  const p = await connect({});
  const [row] = await p.exec("SELECT 'cjs' AS s FROM DUMMY");
  await p.disconnect();
  console.log('commonjs:', row.s);
})().catch((err) => { console.error(err); process.exit(1); });
JS
cat > esm.mjs <<'JS'
import zelk from 'zelk';
import { connect } from 'zelk/promises';
import { createRowStream } from 'zelk/streams';
const c = await connect({});
await c.exec('CREATE TABLE t (id INTEGER, b BLOB)');
await c.exec('INSERT INTO t VALUES (?, ?)', [7, Buffer.from('esm')]);
const [row] = await c.exec('SELECT id, b FROM t');
if (row.id !== 7 || row.b.toString() !== 'esm') throw new Error('esm row ' + JSON.stringify(row));
await c.disconnect();
console.log('es module:', typeof zelk.createConnection, typeof createRowStream);
JS
PATH="$bin" node cjs.js
PATH="$bin" node esm.mjs

# The subpath typings resolve under each module resolution TypeScript offers.
PATH="$bin" npm install --no-audit --no-fund --silent typescript@5 @types/node@20 >/dev/null
cat > types.ts <<'TS'
import * as zelk from 'zelk';
import { connect } from 'zelk/promises';
import { createRowStream } from 'zelk/streams';
const c: zelk.Connection = zelk.createConnection();
export const used = [c, connect, createRowStream];
TS
for resolution in node10:commonjs node16:node16 nodenext:nodenext bundler:esnext; do
  errors=$(PATH="$bin" node node_modules/typescript/bin/tsc --noEmit --strict \
    --moduleResolution "${resolution%%:*}" --module "${resolution##*:}" types.ts 2>&1) || true
  [ -z "$errors" ] || { echo "typings fail with moduleResolution ${resolution%%:*}:"; echo "$errors"; exit 1; }
  echo "typings resolve with moduleResolution ${resolution%%:*}"
done
