'use strict';
// What the trial runners share: a run in a fresh child process, and the
// summary and table of a trial's runs.
const { execFileSync } = require('child_process');

// Runs script with its arguments in a fresh node; returns the last line of
// its output, parsed.
function runChild(script, args) {
  const out = execFileSync(process.execPath, ['--max-old-space-size=4096', script, ...args],
                           { encoding: 'utf8', stdio: ['ignore', 'pipe', 'inherit'], maxBuffer: 1 << 20 });
  return JSON.parse(out.trim().split('\n').pop());
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

// Spread: (max - min) / median, as a percentage.
function summarise(runs) {
  const values = runs.map((r) => r.value);
  const m = median(values);
  return {
    median: m,
    spread: m > 0 ? (Math.max(...values) - Math.min(...values)) / m * 100 : 0,
    maxRssMB: median(runs.map((r) => r.maxRssMB)),
    runs: values,
  };
}

function fmt(n, digits) {
  return n.toFixed(digits).padStart(9);
}

// result: { name, unit, rows, summary: { driver: summarise(...) } }.
function printTrial(result, baseline) {
  const base = result.summary[baseline];
  const lines = ['', `${result.name} (${result.rows} rows, ${result.unit}; ratio = driver / ${baseline})`];
  lines.push('  driver               median    spread%     ratio   maxRSS MB');
  for (const [driver, s] of Object.entries(result.summary)) {
    const ratio = base && base.median > 0 ? s.median / base.median : NaN;
    lines.push(`  ${driver.padEnd(16)}${fmt(s.median, 1)}${fmt(s.spread, 1)}%${fmt(ratio, 2)}${fmt(s.maxRssMB, 0)}`);
  }
  console.log(lines.join('\n'));
}

module.exports = { runChild, median, summarise, printTrial };
