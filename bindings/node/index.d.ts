// Types of the Node binding of the tavirlen-empty-dir-cleaner library.

/** A call the library refused as a whole; `message` is the library's own text. */
export class EdcleanError extends Error {
  constructor(message: string);
  name: 'EdcleanError';
}

export interface ScanOptions {
  /** Names that begin with `.` are listed and walked (default false). */
  includeHidden?: boolean;
  /** Zero-byte files are listed (default true). */
  includeZeroByte?: boolean;
  /** Glob patterns (`*`, `?`, `[...]`) matched against each entry's name; a match is left alone. */
  exclude?: readonly string[];
  /** Empty directories and zero-byte files modified less than this many seconds before the scan are not listed. */
  minAgeSeconds?: number;
  /** How many threads the scan may use; 0 for as many as help (default 1). */
  threads?: number;
}

export interface ScanResult {
  /** Canonical paths of empty directories, deeper ones first. */
  emptyDirs: string[];
  /** Canonical paths of zero-byte regular files. */
  zeroFiles: string[];
  /** Directories visited, once per root that reaches each. */
  scannedDirs: number;
}

/** [number removed, message of the last refusal or null]. */
export type DeleteResult = [removed: number, refusal: string | null];

export interface LoadedLibrary {
  /** Where the library was loaded from (a path, or a name given to the system's loader). */
  readonly path: string;
}

/**
 * A list of paths: an array, a Set or any other iterable of strings, but not
 * a single string (which is iterable too, by characters, and refused).
 */
export type Paths<P> = P & (P extends string ? never : unknown);

export function scan<P extends Iterable<string>>(roots: Paths<P>, options?: ScanOptions): ScanResult;
export function deleteDirs<P extends Iterable<string>>(paths: Paths<P>): DeleteResult;
export function deleteFiles<P extends Iterable<string>>(paths: Paths<P>): DeleteResult;

/** scan() on a worker thread: the event loop goes on while the tree is walked. */
export function scanAsync<P extends Iterable<string>>(roots: Paths<P>, options?: ScanOptions): Promise<ScanResult>;
/** deleteDirs() on a worker thread. */
export function deleteDirsAsync<P extends Iterable<string>>(paths: Paths<P>): Promise<DeleteResult>;
/** deleteFiles() on a worker thread. */
export function deleteFilesAsync<P extends Iterable<string>>(paths: Paths<P>): Promise<DeleteResult>;

/** Loads the library once; throws an Error naming every place tried when it cannot. */
export function loadLibrary(): LoadedLibrary;
