'use strict';
// Round trip through the Node binding against the built library.
//
// Run by test/run-tests.sh (CTest's node_binding) with EDCLEAN_LIBRARY naming
// the library in the build tree.

const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const v8 = require('node:v8');
const vm = require('node:vm');

const PACKAGE = path.resolve(__dirname, '..');
const edclean = require(PACKAGE);

const base = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'edclean-node-')));
test.after(() => fs.rmSync(base, { recursive: true, force: true }));

let serial = 0;
/** A fresh directory under the test folder, by its canonical path (as the library answers). */
function newRoot(name = 'root') {
  const root = path.join(base, `${name}-${++serial}`);
  fs.mkdirSync(root);
  return root;
}

function makeDir(root, relative) {
  const p = path.join(root, relative);
  fs.mkdirSync(p, { recursive: true });
  return p;
}

function makeFile(root, relative, data = '') {
  const p = path.join(root, relative);
  fs.mkdirSync(path.dirname(p), { recursive: true });
  fs.writeFileSync(p, data);
  return p;
}

const entries = (dir) => fs.readdirSync(dir).sort();

test('scan then delete everything listed', () => {
  const root = newRoot();
  const b = makeDir(root, 'a/b');
  const z = makeFile(root, 'z');
  makeFile(root, 'keep', 'data');

  const found = edclean.scan([root]);
  assert.deepEqual(found, { emptyDirs: [b, path.join(root, 'a')], zeroFiles: [z], scannedDirs: 3 });
  assert.deepEqual(edclean.deleteFiles(found.zeroFiles), [1, null]);
  assert.deepEqual(edclean.deleteDirs(found.emptyDirs), [2, null]);
  assert.deepEqual(entries(root), ['keep']);
});

test("whole-call refusals carry the library's message", () => {
  const root = newRoot();
  const missing = path.join(root, 'missing');
  const table = [
    ['scan of a missing root', () => edclean.scan([missing]), `root not found: ${missing}`],
    ['scan of no roots', () => edclean.scan([]), 'empty dirs list'],
    ['scan of an empty root', () => edclean.scan(['']), 'empty path in dirs'],
    ['scan through ..', () => edclean.scan([`${root}/x/../y`]), 'refused: path contains ..'],
    ['scan of a path with NUL', () => edclean.scan([`${root}\0tail`]), 'array elements must not contain NUL'],
  ];
  for (const [what, call, message] of table) {
    assert.throws(call, (error) => {
      assert.ok(error instanceof edclean.EdcleanError, `${what}: ${error}`);
      assert.equal(error.message, message, what);
      return true;
    }, what);
  }
});

test('per-path refusals are counted, not thrown', () => {
  const root = newRoot();
  const outside = makeDir(newRoot('never-scanned'), 'd');
  const data = makeFile(root, 'data', 'x');
  const zero = makeFile(root, 'zero');
  edclean.scan([root]);

  const table = [
    ['a directory outside every scanned root', () => edclean.deleteDirs([outside]),
      [0, 'refused: outside scanned roots']],
    ['a file with data', () => edclean.deleteFiles([data]), [0, 'refused: file size != 0']],
    ['a path that is not there', () => edclean.deleteDirs([path.join(root, 'gone')]), [0, 'path not found']],
    // A refusal does not stop the call: the zero file goes, the message stays.
    ['a removable file before a refused one', () => edclean.deleteFiles([zero, data]),
      [1, 'refused: file size != 0']],
  ];
  for (const [what, call, expected] of table) assert.deepEqual(call(), expected, what);
  assert.ok(fs.existsSync(outside), 'the outside directory is still there');
  assert.ok(fs.existsSync(data), 'the file with data is still there');
  assert.ok(!fs.existsSync(zero), 'the zero-byte file is gone');
});

test('options are passed through', () => {
  const root = newRoot();
  const hiddenParent = makeDir(root, 'h');
  makeDir(root, 'h/.cache');
  const zero = makeFile(root, 'n');

  const plain = edclean.scan([root]);
  assert.ok(!plain.emptyDirs.includes(hiddenParent), 'a hidden entry keeps its directory from counting');
  assert.deepEqual(plain.zeroFiles, [zero]);

  const hidden = edclean.scan([root], { includeHidden: true, includeZeroByte: false });
  assert.deepEqual(hidden.emptyDirs, [path.join(hiddenParent, '.cache'), hiddenParent]);
  assert.deepEqual(hidden.zeroFiles, []);
});

test('non-ASCII paths round-trip as UTF-8', () => {
  // The root itself, a directory and a file: two-, three- and four-byte UTF-8
  // sequences (the last one a surrogate pair in JavaScript).
  const root = newRoot('\u03a9mega');
  const dir = makeDir(root, 'caf\u00e9/\u65e5\u672c\u8a9e \u{1F600}');
  const file = makeFile(root, '\u00f1and\u00fa.txt');

  const found = edclean.scan([root]);
  assert.deepEqual(found.emptyDirs, [dir, path.dirname(dir)]);
  assert.deepEqual(found.zeroFiles, [file]);
  assert.deepEqual(edclean.deleteFiles(found.zeroFiles), [1, null]);
  assert.deepEqual(edclean.deleteDirs(found.emptyDirs), [2, null]);
  assert.deepEqual(entries(root), []);

  // The message comes back as UTF-8 too.
  const missing = path.join(root, '\u00fc\u00df\u4e2d');
  assert.throws(() => edclean.scan([missing]), { name: 'EdcleanError', message: `root not found: ${missing}` });
});

test('an empty list is nothing to do', async () => {
  const root = newRoot();
  const data = makeFile(root, 'data', 'x');
  edclean.scan([root]);
  // The library is not called: the message of the call before stays as it was.
  assert.deepEqual(edclean.deleteFiles([data]), [0, 'refused: file size != 0']);
  const found = edclean.scan([root]);
  assert.deepEqual(found.zeroFiles, []);
  assert.deepEqual(edclean.deleteFiles(found.zeroFiles), [0, null]);
  assert.deepEqual(edclean.deleteDirs(found.emptyDirs), [0, null]);
  assert.deepEqual(edclean.deleteDirs(new Set()), [0, null]);
  assert.deepEqual(await edclean.deleteFilesAsync([]), [0, null]);
  assert.deepEqual(await edclean.deleteDirsAsync([]), [0, null]);
  assert.deepEqual(entries(root), ['data']);
});

/** The options texts the binding hands the library while `body` runs. */
function sentOptions(body) {
  const l = edclean.loadLibrary();
  const real = l.scan;
  const sent = [];
  l.scan = (dirs, options) => {
    sent.push(options);
    return real(dirs, options);
  };
  try {
    body();
  } finally {
    l.scan = real;
  }
  return sent;
}

test('every option, in camelCase, reaches the library', () => {
  const root = newRoot();
  makeDir(root, 'a/node_modules/pkg');
  const b = makeDir(root, 'b');
  makeFile(root, 'c/x.tmp');
  const old = makeDir(root, 'old');
  const stale = makeFile(root, 'stale');
  makeFile(root, 'keep', 'data');
  const hoursAgo = (Date.now() - 2 * 3600 * 1000) / 1000;
  fs.utimesSync(old, hoursAgo, hoursAgo);
  fs.utimesSync(stale, hoursAgo, hoursAgo);

  const excluded = edclean.scan([root], { exclude: ['node_modules', '*.tmp'], minAgeSeconds: 0, threads: 1 });
  assert.deepEqual(excluded.emptyDirs, [b, old]);
  assert.deepEqual(excluded.zeroFiles, [stale]);
  const aged = edclean.scan([root], { minAgeSeconds: 3600, threads: 0 });
  assert.deepEqual(aged.emptyDirs, [old]);
  assert.deepEqual(aged.zeroFiles, [stale]);

  const sent = sentOptions(() => {
    edclean.scan([root]);
    edclean.scan([root], { includeHidden: true, exclude: ['caf\u00e9', '[a-z]'], minAgeSeconds: 60, threads: 0 });
    edclean.scan([root], { exclude: [] });
  });
  assert.deepEqual(sent, [
    '{"include_hidden":false,"include_zero_byte":true}',
    '{"include_hidden":true,"include_zero_byte":true,"exclude":["caf\u00e9","[a-z]"],"min_age_seconds":60,"threads":0}',
    '{"include_hidden":false,"include_zero_byte":true,"exclude":[]}',
  ]);
});

test('bad arguments are refused before the library', () => {
  const table = [
    ['a single path', () => edclean.scan(base), TypeError],
    ['not a list', () => edclean.deleteFiles(null), TypeError],
    ['a path that is not a string', () => edclean.deleteDirs([base, 7]), TypeError],
    ['an option in the library\'s spelling', () => edclean.scan([base], { include_hidden: true }), TypeError],
    ['options that are not an object', () => edclean.scan([base], 'hidden'), TypeError],
    ['a single pattern', () => edclean.scan([base], { exclude: 'node_modules' }), TypeError],
    ['a pattern that is not a string', () => edclean.scan([base], { exclude: [1] }), TypeError],
    ['a fractional age', () => edclean.scan([base], { minAgeSeconds: 1.5 }), TypeError],
    ['an age as text', () => edclean.scan([base], { minAgeSeconds: '60' }), TypeError],
    ['threads as a boolean', () => edclean.scan([base], { threads: true }), TypeError],
    ['a negative age', () => edclean.scan([base], { minAgeSeconds: -1 }), RangeError],
    ['negative threads', () => edclean.scan([base], { threads: -1 }), RangeError],
    // 1e21 is written 1e+21 in JSON, which the library would take for no age at all.
    ['an age too large to be written as an integer', () => edclean.scan([base], { minAgeSeconds: 1e21 }), RangeError],
  ];
  const sent = sentOptions(() => {
    for (const [what, call, type] of table) assert.throws(call, type, what);
  });
  assert.deepEqual(sent, [], 'the library was called');
});

test('names that are not UTF-8 text are refused by name', () => {
  const root = newRoot();
  const keep = makeFile(root, 'keep');
  edclean.scan([root]);
  const calls = [edclean.scan, edclean.deleteDirs, edclean.deleteFiles];
  const bad = [
    [Buffer.concat([Buffer.from(`${root}/caf`), Buffer.from([0xe9])]), /^path <Buffer [0-9a-f ]+ e9> is a Buffer: /],
    [Buffer.from(keep), /^path <Buffer 2f[0-9a-f ]+> is a Buffer: /],
    [`${root}/\ud800`, /^path '.*\\ud800' is not valid Unicode text: /],
  ];
  for (const call of calls) {
    for (const [p, named] of bad) {
      assert.throws(() => call([p]), (error) => {
        assert.ok(error instanceof TypeError, `${call.name}: ${error}`);
        assert.match(error.message, named);
        assert.match(error.message, /only UTF-8 names can be passed/);
        return true;
      });
    }
  }
  assert.throws(() => edclean.scan([root], { exclude: ['\udc00'] }), TypeError);
  assert.ok(fs.existsSync(keep));
});

test('the asynchronous calls run on another thread and leave the event loop free', async () => {
  const root = newRoot();
  const b = makeDir(root, 'a/b');
  const z = makeFile(root, 'z');
  const data = makeFile(root, 'data', 'x');

  let ticks = 0;
  const ticker = setInterval(() => ticks++, 0);
  const pending = edclean.scanAsync([root], { exclude: ['nothing'], threads: 2 });
  assert.equal(ticks, 0);
  const found = await pending;
  clearInterval(ticker);
  assert.ok(ticks > 0, 'no timer ran while the scan was under way');
  assert.deepEqual(found, { emptyDirs: [b, path.join(root, 'a')], zeroFiles: [z], scannedDirs: 3 });

  // The refusal's message is the worker's; this thread's message is not touched.
  const l = edclean.loadLibrary();
  assert.deepEqual(edclean.deleteDirs([path.join(root, 'gone')]), [0, 'path not found']);
  assert.deepEqual(await edclean.deleteFilesAsync([data, z]), [1, 'refused: file size != 0']);
  assert.equal(l.lastError(), 'path not found');
  assert.deepEqual(await edclean.deleteDirsAsync(found.emptyDirs), [2, null]);
  assert.deepEqual(entries(root), ['data']);

  // Refusals and bad arguments come as rejections, never as throws.
  const missing = path.join(root, 'missing');
  await assert.rejects(edclean.scanAsync([missing]), { name: 'EdcleanError', message: `root not found: ${missing}` });
  const rejected = [
    () => edclean.scanAsync(root),
    () => edclean.scanAsync([root], { nope: 1 }),
    () => edclean.deleteFilesAsync([Buffer.from(z)]),
    () => edclean.deleteDirsAsync(null),
  ];
  for (const call of rejected) {
    let pendingCall;
    assert.doesNotThrow(() => { pendingCall = call(); });
    await assert.rejects(pendingCall, TypeError);
  }
});

test('the library is found where the package looks', async (t) => {
  const library = process.env.EDCLEAN_LIBRARY;
  const names = ['libtavirlen-empty-dir-cleaner.so.0', 'libtavirlen-empty-dir-cleaner.so'];
  // A copy of the package at `dir`, using this package's koffi.
  const place = (dir) => {
    fs.mkdirSync(dir, { recursive: true });
    for (const f of ['index.js', 'worker.js', 'package.json']) fs.copyFileSync(path.join(PACKAGE, f), path.join(dir, f));
    fs.symlinkSync(path.join(PACKAGE, 'node_modules'), path.join(dir, 'node_modules'));
    return dir;
  };
  // What loadLibrary() says in a fresh process: where it loaded from, or its error.
  const load = (dir, env = {}) => {
    const childEnv = { ...process.env, ...env };
    if (!('EDCLEAN_LIBRARY' in env)) delete childEnv.EDCLEAN_LIBRARY;
    const script = `const e = require(${JSON.stringify(dir)});
      try { console.log(JSON.stringify({ path: e.loadLibrary().path })); }
      catch (error) { console.log(JSON.stringify({ error: error.message })); }`;
    return JSON.parse(execFileSync(process.execPath, ['-e', script], { env: childEnv, encoding: 'utf8' }));
  };
  const top = path.join(base, 'lookup');

  await t.test('EDCLEAN_LIBRARY, and nowhere else', () => {
    const pkg = place(path.join(top, 'explicit'));
    fs.copyFileSync(library, path.join(pkg, names[0]));
    const missing = path.join(top, 'nowhere', 'lib.so');
    const { error } = load(pkg, { EDCLEAN_LIBRARY: missing });
    assert.match(error, /EDCLEAN_LIBRARY names it/);
    assert.equal(error.split('tried:\n')[1].trim(), `${missing} (no such file)`);
    assert.deepEqual(load(pkg, { EDCLEAN_LIBRARY: library }), { path: library });
  });

  await t.test('next to the package', () => {
    const pkg = place(path.join(top, 'beside'));
    const copy = path.join(pkg, names[0]);
    fs.copyFileSync(library, copy);
    assert.deepEqual(load(pkg), { path: copy });
  });

  await t.test("in the package's prebuilds folder for this platform", () => {
    const pkg = place(path.join(top, 'prebuilt'));
    const dir = path.join(pkg, 'prebuilds', `${process.platform}-${process.arch}`);
    fs.mkdirSync(dir, { recursive: true });
    const copy = path.join(dir, names[0]);
    fs.copyFileSync(library, copy);
    assert.deepEqual(load(pkg), { path: copy });
  });

  await t.test('under the prefix npm install -g used', () => {
    const prefix = path.join(top, 'prefix');
    const pkg = place(path.join(prefix, 'lib', 'node_modules', 'tavirlen-edclean'));
    const copy = path.join(prefix, 'lib', names[1]);
    fs.copyFileSync(library, copy);
    assert.deepEqual(load(pkg), { path: copy });
  });

  await t.test('nowhere: the error names every place', (t2) => {
    const pkg = place(path.join(top, 'bare'));
    const result = load(pkg);
    if (result.path) {
      t2.skip(`the system's loader has a copy of the library (${result.path})`);
      return;
    }
    for (const name of names) {
      assert.ok(result.error.includes(`${path.join(pkg, name)} (no such file)`), result.error);
      assert.ok(result.error.includes(`${name} through the system's loader`), result.error);
    }
    assert.match(result.error, /set EDCLEAN_LIBRARY to its path/);
  });
});

test('repeated calls do not grow the process', (t) => {
  v8.setFlagsFromString('--expose-gc');
  const gc = vm.runInNewContext('gc');
  const resident = () => {
    gc();
    gc();
    return process.memoryUsage().rss;
  };

  // A result text of some 50 KB, so that keeping each one would show at once.
  const root = newRoot('memory');
  for (let i = 0; i < 250; i++) makeFile(root, String(i).padStart(3, '0') + 'm'.repeat(190));
  const data = makeFile(root, 'with data', 'x');
  const outside = newRoot('memory-outside');

  const round = () => {
    const found = edclean.scan([root]);
    assert.equal(found.zeroFiles.length, 250);
    assert.deepEqual(edclean.deleteFiles([data]), [0, 'refused: file size != 0']);
    assert.deepEqual(edclean.deleteDirs([outside]), [0, 'refused: outside scanned roots']);
    assert.throws(() => edclean.scan([]), edclean.EdcleanError);
  };
  for (let i = 0; i < 100; i++) round();
  const resultBytes = Buffer.byteLength(JSON.stringify(edclean.scan([root])));

  const rounds = 600;
  const leakIfKept = rounds * resultBytes;
  const before = resident();
  for (let i = 0; i < rounds; i++) round();
  const grown = resident() - before;

  // The control: the same scans with the result never released.
  const lib = edclean.loadLibrary();
  const dirs = JSON.stringify([root]);
  const controlBefore = resident();
  for (let i = 0; i < rounds; i++) assert.notEqual(lib.scan(dirs, null), null);
  const controlGrown = resident() - controlBefore;

  t.diagnostic(`${rounds} rounds grew ${grown >> 10} KiB; without releasing the result ${controlGrown >> 10} KiB `
    + `(results of ${resultBytes >> 10} KiB each)`);
  assert.ok(controlGrown > leakIfKept / 2, `the measurement cannot see a kept result (control grew ${controlGrown})`);
  assert.ok(grown < leakIfKept / 2, `the process grew ${grown} bytes over ${rounds} rounds`);
});
