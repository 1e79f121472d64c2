'use strict';
/**
 * Node binding of the tavirlen-empty-dir-cleaner library, over koffi.
 *
 *   const edclean = require('tavirlen-edclean');
 *   const found = edclean.scan(['/data/archive']);   // the library's JSON, parsed
 *   const [removedFiles, fileRefusal] = edclean.deleteFiles(found.zero_files);
 *   const [removedDirs, dirRefusal] = edclean.deleteDirs(found.empty_dirs);
 *
 * The shared library is looked up, in order:
 *
 * - at the path in the environment variable EDCLEAN_LIBRARY (then nowhere else);
 * - next to this package;
 * - in the library folders of the installation prefix that holds this package
 *   (npm install -g puts it at PREFIX/lib/node_modules/NAME; on Windows at
 *   PREFIX/node_modules/NAME), and of the running Node's prefix, where
 *   `cmake --install BUILD --prefix PREFIX` puts it (PREFIX/lib,
 *   PREFIX/lib/<multiarch>, PREFIX/lib64; PREFIX/bin for the Windows DLL);
 * - by the system's loader.
 *
 * When none of them holds it, loadLibrary() throws an Error naming every place
 * it tried and why each failed.
 */

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');

class EdcleanError extends Error {
  /** A call the library refused; `message` is the library's own text. */
  constructor(message) {
    super(message);
    this.name = 'EdcleanError';
  }
}

const MULTIARCH = { x64: 'x86_64-linux-gnu', arm64: 'aarch64-linux-gnu', ia32: 'i386-linux-gnu' };

function libraryNames() {
  if (process.platform === 'win32') return ['tavirlen-empty-dir-cleaner.dll'];
  if (process.platform === 'darwin') return ['libtavirlen-empty-dir-cleaner.dylib'];
  return ['libtavirlen-empty-dir-cleaner.so.0', 'libtavirlen-empty-dir-cleaner.so'];
}

/** The installation prefix whose node_modules holds packageDir, if any. */
function prefixesOf(packageDir) {
  const parts = path.resolve(packageDir).split(path.sep);
  if (parts.length < 3 || parts[parts.length - 2] !== 'node_modules') return [];
  const above = parts.slice(0, -2);
  const last = (above[above.length - 1] || '').toLowerCase();
  if (last === 'lib' || last === 'lib64') return [above.slice(0, -1).join(path.sep) || path.sep];
  if (process.platform === 'win32') return [above.join(path.sep)];
  return [];
}

function prefixLibraryDirs(prefix) {
  if (process.platform === 'win32') return [path.join(prefix, 'bin'), path.join(prefix, 'lib')];
  const dirs = [path.join(prefix, 'lib')];
  if (process.platform === 'linux' && MULTIARCH[process.arch]) {
    dirs.push(path.join(prefix, 'lib', MULTIARCH[process.arch]));
  }
  dirs.push(path.join(prefix, 'lib64'));
  return dirs;
}

function nodePrefix() {
  // node lives at PREFIX/bin/node, node.exe at PREFIX\node.exe.
  const bin = path.dirname(process.execPath);
  return process.platform === 'win32' ? bin : path.dirname(bin);
}

/** Where to look, in order: [path or name, is it a path to check first]. */
function* candidates() {
  const explicit = process.env.EDCLEAN_LIBRARY;
  if (explicit) {
    yield [explicit, true];
    return;
  }
  const names = libraryNames();
  const dirs = [__dirname];
  for (const prefix of [...prefixesOf(__dirname), nodePrefix()]) {
    dirs.push(...prefixLibraryDirs(prefix));
  }
  const seen = new Set();
  for (const dir of dirs) {
    let key;
    try {
      key = fs.realpathSync(dir);
    } catch {
      key = path.resolve(dir);
    }
    if (process.platform === 'win32') key = key.toLowerCase();
    if (seen.has(key)) continue;
    seen.add(key);
    for (const name of names) yield [path.join(dir, name), true];
  }
  for (const name of names) yield [name, false];
}

let lib = null;

/**
 * Loads the shared library once and declares the five exports.
 * Throws an Error naming every place tried when it cannot be loaded.
 */
function loadLibrary() {
  if (lib !== null) return lib;
  const tried = [];
  let handle = null;
  let from = null;
  for (const [candidate, isPath] of candidates()) {
    if (isPath && !fs.existsSync(candidate)) {
      tried.push(`${candidate} (no such file)`);
      continue;
    }
    try {
      handle = koffi.load(candidate);
      from = candidate;
      break;
    } catch (error) {
      const where = isPath ? candidate : `${candidate} through the system's loader`;
      tried.push(`${where} (${error.message})`);
    }
  }
  if (handle === null) {
    const hint = process.env.EDCLEAN_LIBRARY
      ? 'EDCLEAN_LIBRARY names it'
      : "set EDCLEAN_LIBRARY to its path, or install it with cmake --install under this package's "
        + `prefix or Node's prefix ${nodePrefix()}`;
    throw new Error(`cannot load the tavirlen-empty-dir-cleaner library (${hint}); tried:\n  `
      + tried.join('\n  '));
  }
  // JS strings go in as UTF-8 ('const char *'). The scan result is a pointer
  // the caller must hand back to edclean_free_string, so it is declared as an
  // opaque pointer, not as a string (which koffi would copy, losing the pointer).
  // The message is the library's own: it is copied and never freed.
  lib = {
    path: from,
    scan: handle.func('void *edclean_scan(const char *dirs_json, const char *options_json)'),
    freeString: handle.func('void edclean_free_string(void *text)'),
    lastError: handle.func('const char *edclean_last_error(void)'),
    deleteDirs: handle.func('int32_t edclean_delete_dirs(const char *dirs_json)'),
    deleteFiles: handle.func('int32_t edclean_delete_files(const char *files_json)'),
  };
  return lib;
}

function lastError(l) {
  return l.lastError() ?? '';
}

function pathsJson(paths) {
  if (typeof paths === 'string' || Buffer.isBuffer(paths)) {
    throw new TypeError('pass an array of paths, not a single path');
  }
  if (paths === null || typeof paths !== 'object' || typeof paths[Symbol.iterator] !== 'function') {
    throw new TypeError('pass an array of paths');
  }
  const list = Array.from(paths, (p) => {
    if (typeof p !== 'string') throw new TypeError('every path must be a string');
    return p;
  });
  return JSON.stringify(list);
}

const OPTION_NAMES = { includeHidden: 'include_hidden', includeZeroByte: 'include_zero_byte' };

function optionsJson(options) {
  const chosen = { includeHidden: false, includeZeroByte: true, ...options };
  const out = {};
  for (const [name, value] of Object.entries(chosen)) {
    if (!(name in OPTION_NAMES)) throw new TypeError(`unknown option ${name}`);
    out[OPTION_NAMES[name]] = Boolean(value);
  }
  return JSON.stringify(out);
}

/**
 * Scans the root directories.
 *
 * options: { includeHidden = false, includeZeroByte = true }.
 * Returns { empty_dirs: [...], zero_files: [...], scanned_dirs: N }.
 * Throws EdcleanError with the library's message when a root is refused.
 */
function scan(roots, options = {}) {
  const l = loadLibrary();
  const text = l.scan(pathsJson(roots), optionsJson(options));
  if (text === null) throw new EdcleanError(lastError(l));
  try {
    return JSON.parse(koffi.decode(text, 'char', -1));
  } finally {
    l.freeString(text);
  }
}

function deleteWith(fn, paths) {
  const l = loadLibrary();
  const count = l[fn](pathsJson(paths));
  const message = lastError(l);
  if (count < 0) throw new EdcleanError(message);
  return [count, message || null];
}

/**
 * Removes the listed directories that are still empty and inside scanned roots.
 * Returns [number removed, message of the last refusal or null].
 */
function deleteDirs(paths) {
  return deleteWith('deleteDirs', paths);
}

/**
 * Removes the listed files that are still zero-byte files inside scanned roots.
 * Returns [number removed, message of the last refusal or null].
 */
function deleteFiles(paths) {
  return deleteWith('deleteFiles', paths);
}

module.exports = { EdcleanError, scan, deleteDirs, deleteFiles, loadLibrary };
