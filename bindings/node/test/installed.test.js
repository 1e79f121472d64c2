'use strict';
// The packed package as a user gets it: installed with `npm install ./TARBALL`
// into an empty folder, then required by name, with no EDCLEAN_LIBRARY and no
// library anywhere but inside the package.
//
// Run by test/run-tests.sh (CTest's node_package) from that folder.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const edclean = require('tavirlen-edclean');

test('the library is the one inside the package, under prebuilds', () => {
  assert.equal(process.env.EDCLEAN_LIBRARY, undefined);
  const installed = path.dirname(require.resolve('tavirlen-edclean'));
  assert.equal(path.relative(process.cwd(), installed), path.join('node_modules', 'tavirlen-edclean'));
  assert.equal(edclean.loadLibrary().path,
    path.join(installed, 'prebuilds', `${process.platform}-${process.arch}`, 'libtavirlen-empty-dir-cleaner.so.0'));
  for (const file of ['index.js', 'index.d.ts', 'worker.js', 'package.json']) {
    assert.ok(fs.existsSync(path.join(installed, file)), `${file} is in the package`);
  }
});

test('scan and delete, at once and on a worker thread', async () => {
  const root = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'edclean-installed-')));
  try {
    fs.mkdirSync(path.join(root, 'a', 'b'), { recursive: true });
    fs.writeFileSync(path.join(root, 'z'), '');
    fs.writeFileSync(path.join(root, 'keep'), 'data');
    const found = edclean.scan([root]);
    assert.deepEqual(found, { emptyDirs: [path.join(root, 'a', 'b'), path.join(root, 'a')],
      zeroFiles: [path.join(root, 'z')], scannedDirs: 3 });
    assert.deepEqual(await edclean.scanAsync([root]), found);
    assert.deepEqual(await edclean.deleteFilesAsync(found.zeroFiles), [1, null]);
    assert.deepEqual(edclean.deleteDirs(found.emptyDirs), [2, null]);
    assert.deepEqual(fs.readdirSync(root), ['keep']);
  } finally {
    fs.rmSync(root, { recursive: true, force: true });
  }
});
