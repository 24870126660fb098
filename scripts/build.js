'use strict';
// Builds the native module and the client library from source with the
// machine's CMake; nothing is downloaded here.
//   node scripts/build.js [--tests] [--dir DIR] [--type Release|Debug|...]
// --tests adds the native tests, the test addon and the library variants.
const { execFileSync } = require('child_process');
const os = require('os');
const path = require('path');

const root = path.join(__dirname, '..');

function option(args, name, fallback) {
  const at = args.indexOf(name);
  return at >= 0 && at + 1 < args.length ? args[at + 1] : fallback;
}

function build({ tests = false, dir = path.join(root, 'build'), type } = {}) {
  const buildType = type || process.env.ZELK_BUILD_TYPE || 'Release';
  const jobs = String(Math.max(os.cpus().length, 1));
  const run = (args) => execFileSync('cmake', args, { cwd: root, stdio: 'inherit' });
  run(['-S', root, '-B', dir, `-DCMAKE_BUILD_TYPE=${buildType}`, `-DZELK_BUILD_TESTS=${tests ? 'ON' : 'OFF'}`]);
  run(['--build', dir, '--parallel', jobs]);
  return dir;
}

if (require.main === module) {
  const args = process.argv.slice(2);
  build({
    tests: args.includes('--tests'),
    dir: option(args, '--dir') && path.resolve(option(args, '--dir')),
    type: option(args, '--type'),
  });
}

module.exports = { build, root };
