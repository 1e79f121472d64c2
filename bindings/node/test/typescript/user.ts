// A TypeScript user of the package, compiled with --strict against its
// declarations and then run: what it may write compiles, and runs as typed.
import * as edclean from 'tavirlen-edclean';

async function main(root: string): Promise<void> {
  const options: edclean.ScanOptions = { includeHidden: false, exclude: ['node_modules'], minAgeSeconds: 0, threads: 0 };
  const found: edclean.ScanResult = edclean.scan([root], options);
  const files: edclean.DeleteResult = edclean.deleteFiles(new Set(found.zeroFiles));
  const [removed, refusal] = files;
  const count: number = removed + (refusal === null ? 0 : refusal.length);
  const later = await edclean.scanAsync([root], { includeZeroByte: true });
  const dirs = await edclean.deleteDirsAsync(later.emptyDirs);
  const none = await edclean.deleteFilesAsync([]);
  try {
    edclean.scan([`${root}/missing`]);
  } catch (error) {
    if (!(error instanceof edclean.EdcleanError)) throw error;
  }
  const where: string = edclean.loadLibrary().path;
  console.log(JSON.stringify({ scanned: found.scannedDirs, count, dirs, none, where }));
}

main(process.argv[2]).catch((error) => {
  console.error(error);
  process.exitCode = 1;
});

declare const process: { argv: string[]; exitCode?: number };
declare const console: { log(text: string): void; error(value: unknown): void };
