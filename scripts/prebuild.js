'use strict';
// npm's prepack hook: a release build of what ships (no tests), stripped,
// copied to prebuilds/<platform>-<arch>/ so that installs need no compiler.
const { execFileSync } = require('child_process');
const fs = require('fs');
const path = require('path');
const { build, root } = require('./build');
const { prebuiltDir } = require('./prebuilt');

const SHIPPED = ['zelk.node', 'libdbcapiZKV.so'];

const dir = build({ tests: false, dir: path.join(root, 'build-release'), type: 'Release' });
const target = prebuiltDir();
if (!target) throw new Error(`zelk: no prebuilt binaries are made for ${process.platform}-${process.arch} with musl`);
fs.rmSync(path.join(root, 'prebuilds'), { recursive: true, force: true });
fs.mkdirSync(target, { recursive: true });
for (const name of SHIPPED) {
  const file = path.join(target, name);
  fs.copyFileSync(path.join(dir, name), file);
  execFileSync('strip', ['--strip-unneeded', file]);
}
console.log(`zelk: prebuilt ${SHIPPED.join(' and ')} in ${path.relative(root, target)}`);
