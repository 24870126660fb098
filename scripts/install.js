'use strict';
// npm's install hook. In a checkout of the repository it builds everything,
// tests included. As a dependency it takes the prebuilt binary for this
// platform when there is one that loads, and only otherwise builds from
// source. It prints one line saying which.
const fs = require('fs');
const path = require('path');
const { build, root } = require('./build');
const { prebuiltDir } = require('./prebuilt');

function isCheckout() {
  return fs.existsSync(path.join(root, 'test')) && fs.existsSync(path.join(root, '.git'));
}

function usablePrebuilt() {
  const dir = prebuiltDir();
  if (!dir || !fs.existsSync(path.join(dir, 'zelk.node'))) return null;
  try {
    require(path.join(dir, 'zelk.node'));
    return dir;
  } catch (err) {
    console.log(`zelk: the prebuilt binary in ${dir} does not load here (${err.message.split('\n')[0]})`);
    return null;
  }
}

function main() {
  const platform = `${process.platform}-${process.arch}`;
  if (isCheckout()) {
    console.log('zelk: repository checkout: building from source with CMake, tests included');
    build({ tests: true });
    return;
  }
  const dir = usablePrebuilt();
  if (dir) {
    console.log(`zelk: using the prebuilt binary for ${platform} (${path.relative(root, dir)})`);
    return;
  }
  console.log(`zelk: no prebuilt binary for ${platform}: building from source with CMake`);
  build({ tests: false });
}

main();
