'use strict';
// Where the prebuilt binaries live in the package, keyed by platform and
// architecture; linux builds are for glibc, so musl gets none.
const path = require('path');

const root = path.join(__dirname, '..');

function isMusl() {
  if (process.platform !== 'linux') return false;
  const header = process.report && process.report.getReport().header;
  return !(header && header.glibcVersionRuntime);
}

function prebuiltDir() {
  if (isMusl()) return null;
  return path.join(root, 'prebuilds', `${process.platform}-${process.arch}`);
}

module.exports = { prebuiltDir, root };
