'use strict';
/**
 * Node binding of the tavirlen-empty-dir-cleaner library, over koffi.
 *
 *   const edclean = require('tavirlen-edclean');
 *   const found = edclean.scan(['/data/archive']);   // { emptyDirs, zeroFiles, scannedDirs }
 *   const [removedFiles, fileRefusal] = edclean.deleteFiles(found.zeroFiles);
 *   const [removedDirs, dirRefusal] = edclean.deleteDirs(found.emptyDirs);
 *   const later = await edclean.scanAsync(['/data/archive']); // on a worker thread
 *
 * The shared library is looked up, in order:
 *
 * - at the path in the environment variable EDCLEAN_LIBRARY (then nowhere else);
 * - next to this package, then in its prebuilds/PLATFORM-ARCH folder (where
 *   the packed package carries it: prebuilds/linux-x64, prebuilds/win32-x64);
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
const { inspect } = require('node:util');
const { Worker } = require('node:worker_threads');
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
  const dirs = [__dirname, path.join(__dirname, 'prebuilds', `${process.platform}-${process.arch}`)];
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
  lib = declare(handle, from);
  return lib;
}

// JS strings go in as UTF-8 ('const char *'). The scan result is a pointer
// the caller must hand back to edclean_free_string, so it is declared as an
// opaque pointer, not as a string (which koffi would copy, losing the pointer).
// The message is the library's own: it is copied and never freed.
function declare(handle, from) {
  return {
    path: from,
    scan: handle.func('void *edclean_scan(const char *dirs_json, const char *options_json)'),
    freeString: handle.func('void edclean_free_string(void *text)'),
    lastError: handle.func('const char *edclean_last_error(void)'),
    deleteDirs: handle.func('int32_t edclean_delete_dirs(const char *dirs_json)'),
    deleteFiles: handle.func('int32_t edclean_delete_files(const char *files_json)'),
  };
}

/**
 * One call of the library and the message it left, both on the calling
 * thread (the message is per thread, so it must be read where the call ran).
 * Returns { ok, text } for a scan, { ok, count, message } for a delete, or
 * { ok: false, message } when the call was refused as a whole.
 */
function callLibrary(l, fn, dirsJson, optionsJson) {
  if (fn === 'scan') {
    const text = l.scan(dirsJson, optionsJson);
    if (text === null) return { ok: false, message: l.lastError() ?? '' };
    try {
      return { ok: true, text: koffi.decode(text, 'char', -1) };
    } finally {
      l.freeString(text);
    }
  }
  const count = l[fn](dirsJson);
  const message = l.lastError() ?? '';
  return count < 0 ? { ok: false, message } : { ok: true, count, message };
}

/** Runs callLibrary on a worker thread of its own, loading the library this thread loaded. */
function callOffThread(l, fn, dirsJson, optionsJson) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(path.join(__dirname, 'worker.js'), {
      workerData: { library: l.path, fn, dirsJson, optionsJson },
    });
    let answered = false;
    worker.once('message', (answer) => {
      answered = true;
      resolve(answer);
    });
    worker.once('error', (error) => {
      answered = true;
      reject(error);
    });
    worker.once('exit', (code) => {
      if (!answered) reject(new Error(`the worker thread for ${fn} ended (exit code ${code}) without an answer`));
    });
  });
}

/** Names in error messages: shown as code would write them, control characters escaped. */
const shown = (value) => inspect(value, { breakLength: Infinity, maxStringLength: 200 });

// A lone surrogate has no UTF-8 form: the JSON text would carry it as an
// escape that names no file on the disk.
const LONE_SURROGATE = /\p{Cs}/u;

function textPath(p) {
  if (Buffer.isBuffer(p) || p instanceof Uint8Array) {
    throw new TypeError(`path ${shown(Buffer.from(p))} is a Buffer: only UTF-8 names can be passed, as strings`);
  }
  if (typeof p !== 'string') throw new TypeError(`every path must be a string, not ${shown(p)}`);
  if (LONE_SURROGATE.test(p)) {
    throw new TypeError(`path ${shown(p)} is not valid Unicode text: only UTF-8 names can be passed`);
  }
  return p;
}

function pathList(paths) {
  if (typeof paths === 'string' || Buffer.isBuffer(paths) || paths instanceof Uint8Array) {
    throw new TypeError('pass an array of paths, not a single path');
  }
  if (paths === null || typeof paths !== 'object' || typeof paths[Symbol.iterator] !== 'function') {
    throw new TypeError(`pass an array of paths, not ${shown(paths)}`);
  }
  return Array.from(paths, textPath);
}

function wholeNumber(name, value) {
  if (typeof value !== 'number' || !Number.isInteger(value)) {
    throw new TypeError(`${name} must be an integer, not ${shown(value)}`);
  }
  // Beyond this a number is no longer written as an integer in JSON (1e+21),
  // and the library would read it as no value at all.
  if (value < 0 || !Number.isSafeInteger(value)) {
    throw new RangeError(`${name} must be an integer from 0 to ${Number.MAX_SAFE_INTEGER}, not ${value}`);
  }
  return value;
}

const FLAGS = { includeHidden: 'include_hidden', includeZeroByte: 'include_zero_byte' };
const OPTIONS = ['includeHidden', 'includeZeroByte', 'exclude', 'minAgeSeconds', 'threads'];

/** The options object; the members after the two flags only when given. */
function optionsJson(options) {
  if (options === undefined || options === null) options = {};
  if (typeof options !== 'object' || Array.isArray(options)) {
    throw new TypeError(`options must be an object, not ${shown(options)}`);
  }
  for (const name of Object.keys(options)) {
    if (!OPTIONS.includes(name)) {
      throw new TypeError(`unknown option ${name} (the options are ${OPTIONS.join(', ')})`);
    }
  }
  const chosen = { includeHidden: false, includeZeroByte: true, ...options };
  const out = {};
  for (const [name, key] of Object.entries(FLAGS)) out[key] = Boolean(chosen[name]);
  if (chosen.exclude !== undefined) {
    const patterns = chosen.exclude;
    if (typeof patterns === 'string' || patterns === null || typeof patterns !== 'object'
        || typeof patterns[Symbol.iterator] !== 'function') {
      throw new TypeError(`exclude must be an array of patterns, not ${shown(patterns)}`);
    }
    out.exclude = Array.from(patterns, (pattern) => {
      if (typeof pattern !== 'string') throw new TypeError(`a pattern must be a string, not ${shown(pattern)}`);
      if (LONE_SURROGATE.test(pattern)) {
        throw new TypeError(`pattern ${shown(pattern)} is not valid Unicode text: only UTF-8 patterns can be passed`);
      }
      return pattern;
    });
  }
  if (chosen.minAgeSeconds !== undefined) out.min_age_seconds = wholeNumber('minAgeSeconds', chosen.minAgeSeconds);
  if (chosen.threads !== undefined) out.threads = wholeNumber('threads', chosen.threads);
  return JSON.stringify(out);
}

function scanResult(answer) {
  if (!answer.ok) throw new EdcleanError(answer.message);
  const found = JSON.parse(answer.text);
  return { emptyDirs: found.empty_dirs, zeroFiles: found.zero_files, scannedDirs: found.scanned_dirs };
}

function deleteResult(answer) {
  if (!answer.ok) throw new EdcleanError(answer.message);
  return [answer.count, answer.message || null];
}

// An empty list is nothing to do. The library refuses one as a malformed
// call; here it is what a scan that found nothing hands on.
const NOTHING_DONE = { ok: true, count: 0, message: '' };

/**
 * Scans the root directories.
 *
 * options: { includeHidden = false, includeZeroByte = true, exclude, minAgeSeconds, threads };
 * the last three are sent to the library only when given.
 * Returns { emptyDirs: [...], zeroFiles: [...], scannedDirs: N }.
 * Throws EdcleanError with the library's message when a root is refused,
 * TypeError or RangeError for an argument the library could not mean.
 */
function scan(roots, options = {}) {
  const dirs = JSON.stringify(pathList(roots));
  const opts = optionsJson(options);
  return scanResult(callLibrary(loadLibrary(), 'scan', dirs, opts));
}

function deleteWith(fn, paths) {
  const list = pathList(paths);
  if (list.length === 0) return deleteResult(NOTHING_DONE);
  return deleteResult(callLibrary(loadLibrary(), fn, JSON.stringify(list)));
}

/**
 * Removes the listed directories that are still empty and inside scanned roots.
 * Returns [number removed, message of the last refusal or null]; an empty
 * list removes nothing and returns [0, null].
 */
function deleteDirs(paths) {
  return deleteWith('deleteDirs', paths);
}

/**
 * Removes the listed files that are still zero-byte files inside scanned roots.
 * Returns [number removed, message of the last refusal or null]; an empty
 * list removes nothing and returns [0, null].
 */
function deleteFiles(paths) {
  return deleteWith('deleteFiles', paths);
}

/** scan() on a worker thread: the event loop goes on while the tree is walked. */
async function scanAsync(roots, options = {}) {
  const dirs = JSON.stringify(pathList(roots));
  const opts = optionsJson(options);
  return scanResult(await callOffThread(loadLibrary(), 'scan', dirs, opts));
}

async function deleteAsyncWith(fn, paths) {
  const list = pathList(paths);
  if (list.length === 0) return deleteResult(NOTHING_DONE);
  return deleteResult(await callOffThread(loadLibrary(), fn, JSON.stringify(list)));
}

/** deleteDirs() on a worker thread. */
function deleteDirsAsync(paths) {
  return deleteAsyncWith('deleteDirs', paths);
}

/** deleteFiles() on a worker thread. */
function deleteFilesAsync(paths) {
  return deleteAsyncWith('deleteFiles', paths);
}

module.exports = {
  EdcleanError,
  scan,
  deleteDirs,
  deleteFiles,
  scanAsync,
  deleteDirsAsync,
  deleteFilesAsync,
  loadLibrary,
};

// For worker.js only: one call on the worker's own thread.
Object.defineProperty(module.exports, 'callOnThisThread', {
  enumerable: false,
  value: (library, fn, dirsJson, optionsJson_) => {
    if (lib === null) lib = declare(koffi.load(library), library);
    return callLibrary(lib, fn, dirsJson, optionsJson_);
  },
});
