'use strict';
// Configures and builds the native module, the client library and the native
// tests with the machine's CMake; nothing is downloaded here.
const { execFileSync } = require('child_process');
const path = require('path');

const root = path.join(__dirname, '..');
const buildDir = path.join(root, 'build');
const type = process.env.ZELK_BUILD_TYPE || 'Release';
const jobs = String(require('os').cpus().length || 2);

function run(args) {
  execFileSync('cmake', args, { cwd: root, stdio: 'inherit' });
}

run(['-S', root, '-B', buildDir, `-DCMAKE_BUILD_TYPE=${type}`]);
run(['--build', buildDir, '--parallel', jobs]);
