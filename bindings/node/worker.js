'use strict';
// The worker thread behind scanAsync, deleteDirsAsync and deleteFilesAsync:
// one call of the library, made and answered on this thread, so that the
// message the call leaves (kept per thread) is read where the call ran.
const { parentPort, workerData } = require('node:worker_threads');
const { callOnThisThread } = require('./index.js');

const { library, fn, dirsJson, optionsJson } = workerData;
parentPort.postMessage(callOnThisThread(library, fn, dirsJson, optionsJson));
