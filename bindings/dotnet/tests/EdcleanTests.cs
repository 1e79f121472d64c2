// Round trip through the .NET binding against the built library.
//
// Run by tests/run-tests.sh (CTest's dotnet_binding) with EDCLEAN_TEST_TMP
// naming a fresh directory by its canonical path: the library answers with
// canonical paths, and they are compared as texts here.
// Exits 0 when every case passes, 1 otherwise, naming each failure.
using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text;
using Tavirlen.Edclean;

internal static class EdcleanTests
{
    private static string tmpBase;
    private static int serial;

    private static int Main(string[] args)
    {
        if (args.Length == 2 && args[0] == "--expect-missing")
            return ExpectMissing(args[1]);
        tmpBase = Environment.GetEnvironmentVariable("EDCLEAN_TEST_TMP");
        if (string.IsNullOrEmpty(tmpBase))
        {
            Console.Error.WriteLine("EDCLEAN_TEST_TMP must name a directory by its canonical path");
            return 2;
        }
        var cases = new[] {
            new { Name = "scan then delete everything listed", Body = (Action)ScanThenDeleteEverythingListed },
            new { Name = "whole-call refusals carry the library's message", Body = (Action)WholeCallRefusals },
            new { Name = "per-path refusals are counted, not thrown", Body = (Action)PerPathRefusals },
            new { Name = "options are passed through", Body = (Action)Options },
            new { Name = "every option reaches the library", Body = (Action)EveryOption },
            new { Name = "an empty list is nothing to do", Body = (Action)EmptyListIsNothingToDo },
            new { Name = "non-ASCII paths round-trip as UTF-8", Body = (Action)NonAsciiPathsRoundTrip },
            new { Name = "bad arguments are refused before the library", Body = (Action)BadArguments },
            new { Name = "repeated calls do not grow the process", Body = (Action)RepeatedCallsDoNotGrow },
        };
        int failed = 0;
        foreach (var c in cases)
        {
            try
            {
                c.Body();
                Console.WriteLine("ok    " + c.Name);
            }
            catch (Exception e)
            {
                failed++;
                Console.WriteLine("FAIL  " + c.Name + ": " + e);
            }
        }
        Console.WriteLine($"{cases.Length - failed} passed, {failed} failed");
        return failed == 0 ? 0 : 1;
    }

    /// <summary>Run where the library is nowhere to be found: the exception names every place
    /// tried and what to do. expected: a place the message must name.</summary>
    private static int ExpectMissing(string expected)
    {
        try
        {
            Edclean.Scan(new[] { "/" });
        }
        catch (DllNotFoundException e)
        {
            Console.WriteLine(e.Message);
            bool named = !string.IsNullOrEmpty(Environment.GetEnvironmentVariable("EDCLEAN_LIBRARY"));
            var wanted = new List<string> { expected + " (", named ? "EDCLEAN_LIBRARY names it" : "set EDCLEAN_LIBRARY" };
            if (!named)
                wanted.Add("through the runtime's own search");
            foreach (string text in wanted)
            {
                if (!e.Message.Contains(text))
                {
                    Console.WriteLine("FAIL  the message lacks: " + text);
                    return 1;
                }
            }
            // Each later call says the same, and nothing else is thrown.
            try
            {
                Edclean.DeleteFiles(new[] { "/x" });
            }
            catch (DllNotFoundException)
            {
                Console.WriteLine("ok    the missing library is named with every place tried");
                return 0;
            }
            Console.WriteLine("FAIL  the second call did not throw DllNotFoundException");
            return 1;
        }
        Console.WriteLine("skipped: the system's loader has a copy of the library");
        return 77;
    }

    // ---- helpers ----

    private sealed class Failure : Exception
    {
        public Failure(string message) : base(message) { }
    }

    private static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
            throw new Failure($"{what}: expected <{expected}>, got <{actual}>");
    }

    private static void SameList(IEnumerable<string> expected, IEnumerable<string> actual, string what)
    {
        string e = "[" + string.Join(", ", expected) + "]";
        string a = "[" + string.Join(", ", actual) + "]";
        Equal(e, a, what);
    }

    private static void True(bool condition, string what)
    {
        if (!condition)
            throw new Failure(what);
    }

    private static TException Throws<TException>(Action call, string what) where TException : Exception
    {
        try
        {
            call();
        }
        catch (TException e)
        {
            return e;
        }
        throw new Failure(what + ": expected " + typeof(TException).Name);
    }

    /// <summary>A fresh directory under the canonical test folder.</summary>
    private static string NewRoot(string name = null)
    {
        string root = Path.Combine(tmpBase, (name ?? "root") + "-" + (++serial));
        Directory.CreateDirectory(root);
        return root;
    }

    private static string MakeDir(string root, string relative)
    {
        string path = Path.Combine(root, relative);
        Directory.CreateDirectory(path);
        return path;
    }

    private static string MakeFile(string root, string relative, string data = "")
    {
        string path = Path.Combine(root, relative);
        Directory.CreateDirectory(Path.GetDirectoryName(path));
        File.WriteAllText(path, data);
        return path;
    }

    private static string[] Entries(string dir) =>
        Directory.EnumerateFileSystemEntries(dir).Select(Path.GetFileName).OrderBy(n => n, StringComparer.Ordinal).ToArray();

    // ---- cases ----

    private static void ScanThenDeleteEverythingListed()
    {
        string root = NewRoot();
        string b = MakeDir(root, "a/b");
        string z = MakeFile(root, "z");
        MakeFile(root, "keep", "data");

        ScanResult found = Edclean.Scan(new[] { root });
        SameList(new[] { b, Path.Combine(root, "a") }, found.EmptyDirs, "empty_dirs");
        SameList(new[] { z }, found.ZeroFiles, "zero_files");
        Equal(3L, found.ScannedDirs, "scanned_dirs");

        DeleteResult files = Edclean.DeleteFiles(found.ZeroFiles);
        Equal(1, files.Removed, "files removed");
        Equal(null, files.Refusal, "file refusal");
        DeleteResult dirs = Edclean.DeleteDirs(found.EmptyDirs);
        Equal(2, dirs.Removed, "dirs removed");
        Equal(null, dirs.Refusal, "dir refusal");
        SameList(new[] { "keep" }, Entries(root), "left in the root");
    }

    private static void WholeCallRefusals()
    {
        string root = NewRoot();
        string missing = Path.Combine(root, "missing");
        var table = new[] {
            new { What = "scan of a missing root", Call = (Action)(() => Edclean.Scan(new[] { missing })),
                  Message = "root not found: " + missing },
            new { What = "scan of no roots", Call = (Action)(() => Edclean.Scan(new string[0])),
                  Message = "empty dirs list" },
            new { What = "scan of an empty root", Call = (Action)(() => Edclean.Scan(new[] { "" })),
                  Message = "empty path in dirs" },
            new { What = "scan through ..", Call = (Action)(() => Edclean.Scan(new[] { root + "/x/../y" })),
                  Message = "refused: path contains .." },
            new { What = "scan of a path with NUL", Call = (Action)(() => Edclean.Scan(new[] { root + "\0tail" })),
                  Message = "array elements must not contain NUL" },
        };
        foreach (var row in table)
        {
            var e = Throws<EdcleanException>(row.Call, row.What);
            Equal(row.Message, e.Message, row.What);
        }
    }

    private static void PerPathRefusals()
    {
        string root = NewRoot();
        string outside = MakeDir(NewRoot("never-scanned"), "d");
        string data = MakeFile(root, "data", "x");
        string zero = MakeFile(root, "zero");
        Edclean.Scan(new[] { root });

        var table = new[] {
            new { What = "a directory outside every scanned root",
                  Call = (Func<DeleteResult>)(() => Edclean.DeleteDirs(new[] { outside })),
                  Removed = 0, Refusal = "refused: outside scanned roots" },
            new { What = "a file with data",
                  Call = (Func<DeleteResult>)(() => Edclean.DeleteFiles(new[] { data })),
                  Removed = 0, Refusal = "refused: file size != 0" },
            new { What = "a path that is not there",
                  Call = (Func<DeleteResult>)(() => Edclean.DeleteDirs(new[] { Path.Combine(root, "gone") })),
                  Removed = 0, Refusal = "path not found" },
            // A refusal does not stop the call: the zero file goes, the message stays.
            new { What = "a removable file before a refused one",
                  Call = (Func<DeleteResult>)(() => Edclean.DeleteFiles(new[] { zero, data })),
                  Removed = 1, Refusal = "refused: file size != 0" },
        };
        foreach (var row in table)
        {
            DeleteResult result = row.Call();
            Equal(row.Removed, result.Removed, row.What + " (removed)");
            Equal(row.Refusal, result.Refusal, row.What + " (refusal)");
        }
        True(Directory.Exists(outside), "the outside directory is still there");
        True(File.Exists(data), "the file with data is still there");
        True(!File.Exists(zero), "the zero-byte file is gone");
    }

    private static void Options()
    {
        string root = NewRoot();
        string hiddenParent = MakeDir(root, "h");
        MakeDir(root, "h/.cache");
        string zero = MakeFile(root, "n");

        ScanResult plain = Edclean.Scan(new[] { root });
        True(!plain.EmptyDirs.Contains(hiddenParent), "a hidden entry keeps its directory from counting as empty");
        SameList(new[] { zero }, plain.ZeroFiles, "zero files by default");

        ScanResult hidden = Edclean.Scan(new[] { root }, includeHidden: true, includeZeroByte: false);
        SameList(new[] { Path.Combine(hiddenParent, ".cache"), hiddenParent }, hidden.EmptyDirs,
                 "empty_dirs with hidden names");
        SameList(new string[0], hidden.ZeroFiles, "zero_files when not asked for");
    }

    private static void NonAsciiPathsRoundTrip()
    {
        // The root itself, a directory and a file: two-, three- and four-byte
        // UTF-8 sequences (the last one a surrogate pair in .NET).
        string root = NewRoot("\u03a9mega");
        string dir = MakeDir(root, "caf\u00e9/\u65e5\u672c\u8a9e \U0001F600");
        string file = MakeFile(root, "\u00f1and\u00fa.txt");

        ScanResult found = Edclean.Scan(new[] { root });
        SameList(new[] { dir, Path.GetDirectoryName(dir) }, found.EmptyDirs, "empty_dirs");
        SameList(new[] { file }, found.ZeroFiles, "zero_files");

        Equal(1, Edclean.DeleteFiles(found.ZeroFiles).Removed, "files removed by their listed names");
        Equal(2, Edclean.DeleteDirs(found.EmptyDirs).Removed, "dirs removed by their listed names");
        SameList(new string[0], Entries(root), "left in the root");

        // The message comes back as UTF-8 too.
        string missing = Path.Combine(root, "\u00fc\u00df\u4e2d");
        var e = Throws<EdcleanException>(() => Edclean.Scan(new[] { missing }), "missing non-ASCII root");
        Equal("root not found: " + missing, e.Message, "message naming a non-ASCII root");
    }

    private static void BadArguments()
    {
        string root = NewRoot();
        string keep = MakeFile(root, "keep");
        Edclean.Scan(new[] { root });
        Throws<ArgumentNullException>(() => Edclean.Scan(null), "a null list");
        Throws<ArgumentNullException>(() => Edclean.DeleteDirs(null), "a null list to delete");
        Throws<ArgumentException>(() => Edclean.DeleteFiles(new string[] { null }), "a null path");
        Throws<ArgumentException>(() => Edclean.Scan(new[] { root }, exclude: new string[] { null }), "a null pattern");
        Throws<ArgumentOutOfRangeException>(() => Edclean.Scan(new[] { root }, minAgeSeconds: -1), "a negative age");
        Throws<ArgumentOutOfRangeException>(() => Edclean.Scan(new[] { root }, threads: -1), "negative threads");
        // A lone surrogate would turn into U+FFFD and name another path.
        var table = new[] {
            (Action)(() => Edclean.DeleteFiles(new[] { keep + "\ud800" })),
            () => Edclean.DeleteDirs(new[] { root + "/\udc00x" }),
            () => Edclean.Scan(new[] { root + "/\ud800" }),
        };
        foreach (Action call in table)
        {
            var e = Throws<ArgumentException>(call, "a lone surrogate");
            True(e.Message.Contains("only UTF-8 names can be passed"), "the message says why: " + e.Message);
            True(e.Message.Contains(root), "the message names the path: " + e.Message);
        }
        Throws<ArgumentException>(() => Edclean.Scan(new[] { root }, exclude: new[] { "\ud800" }), "a lone surrogate pattern");
        True(File.Exists(keep), "nothing was removed");
    }

    private static void EveryOption()
    {
        string root = NewRoot();
        MakeDir(root, "a/node_modules/pkg");
        string b = MakeDir(root, "b");
        MakeFile(root, "c/x.tmp");
        string old = MakeDir(root, "old");
        string stale = MakeFile(root, "stale");
        MakeFile(root, "keep", "data");
        DateTime hoursAgo = DateTime.UtcNow.AddHours(-2);
        Directory.SetLastWriteTimeUtc(old, hoursAgo);
        File.SetLastWriteTimeUtc(stale, hoursAgo);

        ScanResult excluded = Edclean.Scan(new[] { root }, exclude: new[] { "node_modules", "*.tmp" },
                                           minAgeSeconds: 0, threads: 1);
        SameList(new[] { b, old }, excluded.EmptyDirs, "empty_dirs without the excluded names");
        SameList(new[] { stale }, excluded.ZeroFiles, "zero_files without the excluded names");
        Equal(5L, excluded.ScannedDirs, "scanned_dirs: the root, a, b, c and old; node_modules not walked");

        ScanResult aged = Edclean.Scan(new[] { root }, minAgeSeconds: 3600, threads: 0);
        SameList(new[] { old }, aged.EmptyDirs, "empty_dirs old enough");
        SameList(new[] { stale }, aged.ZeroFiles, "zero_files old enough");

        ScanResult hidden = Edclean.Scan(new[] { root }, includeHidden: true, includeZeroByte: false,
                                         exclude: new string[0]);
        True(hidden.ZeroFiles.Count == 0 && hidden.EmptyDirs.Contains(b), "the two flags with an empty exclude list");
    }

    private static void EmptyListIsNothingToDo()
    {
        string root = NewRoot();
        string data = MakeFile(root, "data", "x");
        Edclean.Scan(new[] { root });
        // The library is not called: a refusal's message of the call before stays where it was.
        Equal("refused: file size != 0", Edclean.DeleteFiles(new[] { data }).Refusal, "refusal before");
        ScanResult found = Edclean.Scan(new[] { root });
        Equal(0, found.ZeroFiles.Count, "nothing found");
        foreach (DeleteResult result in new[] { Edclean.DeleteFiles(found.ZeroFiles), Edclean.DeleteDirs(found.EmptyDirs),
                                                Edclean.DeleteDirs(Enumerable.Empty<string>()) })
        {
            Equal(0, result.Removed, "removed by an empty list");
            Equal(null, result.Refusal, "refusal of an empty list");
        }
        SameList(new[] { "data" }, Entries(root), "left in the root");
    }

    // ---- memory ----

    // The same import as the binding's, used only to show that the
    // measurement below sees a result text that is not released.
    [DllImport(Edclean.LibraryName, EntryPoint = "edclean_scan", ExactSpelling = true,
               CallingConvention = CallingConvention.Cdecl)]
    private static extern IntPtr ScanWithoutFree(byte[] dirsJson, byte[] optionsJson);

    private static long ResidentBytes()
    {
        GC.Collect();
        GC.WaitForPendingFinalizers();
        GC.Collect();
        foreach (string line in File.ReadAllLines("/proc/self/status"))
        {
            if (line.StartsWith("VmRSS:", StringComparison.Ordinal))
                return long.Parse(line.Substring(6).Trim().Split(' ')[0]) * 1024;
        }
        throw new Failure("no VmRSS in /proc/self/status");
    }

    private static void RepeatedCallsDoNotGrow()
    {
        if (!File.Exists("/proc/self/status"))
            throw new Failure("cannot measure this process's memory here (no /proc/self/status)");

        // A result text of some 50 KB, so that keeping each one would show at once.
        string root = NewRoot("memory");
        for (int i = 0; i < 250; i++)
            MakeFile(root, i.ToString("D3") + new string('m', 190));
        string data = MakeFile(root, "with data", "x");
        string outside = NewRoot("memory-outside");
        True(root.IndexOfAny(new[] { '"', '\\' }) < 0, "the test folder's name needs no JSON escapes");
        string rootJson = "[\"" + root + "\"]";
        int resultBytes = 0;

        Action round = () => {
            ScanResult found = Edclean.Scan(new[] { root });
            Equal(250, found.ZeroFiles.Count, "zero files listed");
            Equal("refused: file size != 0", Edclean.DeleteFiles(new[] { data }).Refusal, "file refusal");
            Equal("refused: outside scanned roots", Edclean.DeleteDirs(new[] { outside }).Refusal, "dir refusal");
            Throws<EdcleanException>(() => Edclean.Scan(new string[0]), "empty list");
        };
        for (int i = 0; i < 100; i++)
            round();
        foreach (string path in Edclean.Scan(new[] { root }).ZeroFiles)
            resultBytes += Encoding.UTF8.GetByteCount(path) + 3;

        const int Rounds = 600;
        long leakIfKept = (long)Rounds * resultBytes;
        long before = ResidentBytes();
        for (int i = 0; i < Rounds; i++)
            round();
        long grown = ResidentBytes() - before;

        // The control: the same scans with the result never released.
        byte[] dirs = Encoding.UTF8.GetBytes(rootJson + "\0");
        long controlBefore = ResidentBytes();
        for (int i = 0; i < Rounds; i++)
            True(ScanWithoutFree(dirs, null) != IntPtr.Zero, "control scan");
        long controlGrown = ResidentBytes() - controlBefore;

        Console.WriteLine($"      memory: {Rounds} rounds grew {grown / 1024} KiB; without releasing the "
                          + $"result {controlGrown / 1024} KiB (results of {resultBytes / 1024} KiB each)");
        True(controlGrown > leakIfKept / 2,
             $"the measurement cannot see a kept result (control grew {controlGrown} bytes)");
        True(grown < leakIfKept / 2, $"the process grew {grown} bytes over {Rounds} rounds");
    }
}
