'use strict';
// Seeded pseudo-random source for the fuzz and stress tests, so that a
// printed seed replays a failing run.
function seededRandom(seed) {
  let state = seed >>> 0;
  const next = () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
  const int = (n) => Math.floor(next() * n);
  const pick = (list) => list[int(list.length)];
  const bytes = (n) => {
    const b = Buffer.alloc(n);
    for (let i = 0; i < n; i++) b[i] = int(256);
    return b;
  };
  return { next, int, pick, bytes, chance: (p) => next() < p };
}

// The seed of a run: ZELK_SEED replays one, otherwise the given default.
function runSeed(fallback) {
  const value = Number(process.env.ZELK_SEED);
  return Number.isInteger(value) ? value : fallback;
}

module.exports = { seededRandom, runSeed };
