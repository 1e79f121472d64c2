// What the declarations must refuse: each line below is one compile error
// (the test counts them), so the declarations are not an untyped `any`.
import * as edclean from 'tavirlen-edclean';

const found = edclean.scan(['/srv']);
found.empty_dirs;                                   // the library's spelling, not the binding's
edclean.scan('/srv');                               // a single path
edclean.scan(['/srv'], { include_hidden: true });   // an option in the library's spelling
edclean.scan(['/srv'], { threads: '4' });           // a count as text
const removed: string = edclean.deleteDirs([])[0];  // the count is a number
edclean.scanAsync(['/srv']).emptyDirs;              // a Promise, not the result
