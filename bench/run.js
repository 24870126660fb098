'use strict';
// Runs every trial for every driver variant, each run in a fresh child
// process, and prints medians, spreads and ratios against better-sqlite3.
// Usage: node run.js [--quick] [--reps=N] [--only=trial,trial] [--json=file]
// The server trials (pg-trials.js) and the web-request trials (web-trials.js) follow.
// The native floor (bench_fetch_floor) runs too when it has been built:
//   cmake -S . -B build -DZELK_BENCH=ON && cmake --build build --target bench_fetch_floor
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { trials, ROWS } = require('./trials');
const { ensureDatabase } = require('./dataset');
const { runChild, summarise, printTrial } = require('./report');

const BASELINE = 'better-sqlite3';
const FLOOR_BINARY = process.env.ZELK_BENCH_FLOOR || path.join(__dirname, '..', 'build', 'bench_fetch_floor');

// The drivers compared with are the bench's own dependencies, installed on
// first use so that the package's own install never needs them.
function ensureDependencies() {
  try {
    require.resolve('better-sqlite3');
    require.resolve('sqlite3');
  } catch {
    console.log('installing the bench dependencies (npm ci in bench/) ...');
    // Native drivers build from source against the installed Node.js headers,
    // since only the npm registry can be reached; pg-native is optional.
    const env = Object.assign({ npm_config_nodedir: path.join(process.execPath, '..', '..') }, process.env);
    execFileSync('npm', ['ci', '--no-audit', '--no-fund'], { cwd: __dirname, stdio: 'inherit', env });
  }
}

function runNativeFloor(args, file) {
  if (!fs.existsSync(FLOOR_BINARY)) {
    console.log('\nnative floor: not built (cmake -DZELK_BENCH=ON, target bench_fetch_floor)');
    return null;
  }
  const out = execFileSync(FLOOR_BINARY, [`--benchmark_repetitions=${args.quick ? 2 : args.reps}`,
                                          '--benchmark_report_aggregates_only=true', '--benchmark_format=json'],
                           { encoding: 'utf8', env: { ...process.env, ZELK_BENCH_DB: file }, maxBuffer: 1 << 24 });
  const medians = JSON.parse(out).benchmarks.filter((b) => b.aggregate_name === 'median');
  const floor = medians.find((b) => b.run_name === 'BM_SqliteFloor');
  const lines = ['', 'native floor (1000000 rows, median ms; ratio = layer / SQLite C interface, CPU time)',
                 '  layer                          real ms    cpu ms     ratio'];
  for (const b of medians) {
    lines.push(`  ${b.run_name.padEnd(28)}${fmt(b.real_time, 1)}${fmt(b.cpu_time, 1)}${fmt(b.cpu_time / floor.cpu_time, 2)}`);
  }
  console.log(lines.join('\n'));
  return medians;
}

function parseArgs(argv) {
  const args = { quick: false, reps: 0, only: null, json: null };
  for (const arg of argv) {
    if (arg === '--quick') args.quick = true;
    else if (arg.startsWith('--reps=')) args.reps = Number(arg.slice(7));
    else if (arg.startsWith('--only=')) args.only = arg.slice(7).split(',');
    else if (arg.startsWith('--json=')) args.json = arg.slice(7);
    else throw new Error('unknown argument ' + arg);
  }
  if (!args.reps) args.reps = args.quick ? 1 : 5;
  return args;
}

function runTrial(trial, args, file) {
  const rows = args.quick ? trial.rows.quick : trial.rows.full;
  const results = {};
  // Interleave the drivers so a slow phase of the machine hits them alike.
  for (let rep = 0; rep < args.reps; rep++) {
    for (const driver of trial.drivers) {
      const task = { job: trial.job, driver, file, rows, tableRows: ROWS };
      const run = runChild(path.join(__dirname, 'child.js'), [JSON.stringify(task)]);
      (results[driver] = results[driver] || []).push(run);
      process.stderr.write('.');
    }
  }
  const summary = {};
  for (const driver of trial.drivers) summary[driver] = summarise(results[driver]);
  return { name: trial.name, unit: trial.unit, rows, summary };
}

function main() {
  const args = parseArgs(process.argv.slice(2));
  const started = Date.now();
  ensureDependencies();
  const file = ensureDatabase();
  console.log(`node ${process.version}, ${os.cpus().length} x ${os.cpus()[0].model}, ` +
              `${args.quick ? 'quick' : 'full'} run, ${args.reps} repetitions, ${new Date().toISOString()}`);
  const results = [];
  for (const trial of trials) {
    if (args.only && !args.only.includes(trial.name)) continue;
    const result = runTrial(trial, args, file);
    results.push(result);
    process.stderr.write('\n');
    printTrial(result, BASELINE);
  }
  if (!args.only) runNativeFloor(args, file);
  console.log(`\ntotal ${((Date.now() - started) / 1000).toFixed(1)} s`);
  if (args.json) fs.writeFileSync(args.json, JSON.stringify(results, null, 2));
}

main();
const args = parseArgs(process.argv.slice(2));
require('./pg-trials').run(args).then(() => require('./web-trials').run(args));
