// .NET binding of the tavirlen-empty-dir-cleaner library, over P/Invoke.
//
//   var found = Edclean.Scan(new[] { "/data/archive" });
//   DeleteResult files = Edclean.DeleteFiles(found.ZeroFiles);  // .Removed, .Refusal
//   DeleteResult dirs = Edclean.DeleteDirs(found.EmptyDirs);
//
// Builds with the runtime's own libraries only (mscorlib, System,
// System.Runtime.Serialization), so it compiles alike with Mono's mcs and with
// the .NET SDK:
//   mcs -target:library -r:System.Runtime.Serialization.dll Edclean.cs
//
// The library is imported by the bare name "tavirlen-empty-dir-cleaner": on
// Windows the loader appends ".dll"; Mono and .NET on Linux also try the
// "lib" prefix and the ".so" suffix, so the name reaches
// libtavirlen-empty-dir-cleaner.so through the usual search (the program's
// folder, LD_LIBRARY_PATH, the system's folders). Tavirlen.Edclean.dll.config,
// shipped beside the compiled assembly, maps the name for Mono to the run-time
// name libtavirlen-empty-dir-cleaner.so.0, which is there even where the
// unversioned development link is not.
//
// Before the first call the binding loads the library itself from the first
// of these that exists, so that the import above finds it already loaded:
// the path in EDCLEAN_LIBRARY (then nowhere else); beside the assembly; the
// package's runtimes/RID/native folder, beside the assembly (a build's output)
// or two folders up (the unpacked package, the assembly in lib/TFM). When the
// library cannot be had, the DllNotFoundException names every place tried.
using System;
using System.Collections.Generic;
using System.IO;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Runtime.Serialization;
using System.Runtime.Serialization.Json;
using System.Text;

namespace Tavirlen.Edclean
{
    /// <summary>A call the library refused as a whole; Message is the library's own text.</summary>
    [Serializable]
    public sealed class EdcleanException : Exception
    {
        public EdcleanException(string message) : base(message) { }
    }

    /// <summary>The library's scan result, member for member.</summary>
    [DataContract]
    public sealed class ScanResult
    {
        /// <summary>Empty directories, deeper ones before the directories that hold them.</summary>
        [DataMember(Name = "empty_dirs", Order = 0)]
        public List<string> EmptyDirs { get; set; }

        /// <summary>Zero-byte regular files.</summary>
        [DataMember(Name = "zero_files", Order = 1)]
        public List<string> ZeroFiles { get; set; }

        /// <summary>Directories visited, once per root that reaches each.</summary>
        [DataMember(Name = "scanned_dirs", Order = 2)]
        public long ScannedDirs { get; set; }
    }

    /// <summary>What a delete call did: how many went, and the last refusal (null when none).</summary>
    public struct DeleteResult
    {
        public DeleteResult(int removed, string refusal)
        {
            Removed = removed;
            Refusal = refusal;
        }

        public int Removed { get; }
        public string Refusal { get; }
    }

    public static class Edclean
    {
        public const string LibraryName = "tavirlen-empty-dir-cleaner";

        [DataContract]
        private sealed class ScanOptions
        {
            [DataMember(Name = "include_hidden", Order = 0)]
            public bool IncludeHidden { get; set; }

            [DataMember(Name = "include_zero_byte", Order = 1)]
            public bool IncludeZeroByte { get; set; }

            // The library reads an absent member as its default; these are
            // sent only when the caller gave them.
            [DataMember(Name = "exclude", Order = 2, EmitDefaultValue = false)]
            public string[] Exclude { get; set; }

            [DataMember(Name = "min_age_seconds", Order = 3, EmitDefaultValue = false)]
            public long? MinAgeSeconds { get; set; }

            [DataMember(Name = "threads", Order = 4, EmitDefaultValue = false)]
            public int? Threads { get; set; }
        }

        // Every text crosses the boundary as NUL-terminated UTF-8 bytes that this
        // class encodes and decodes itself, so no platform or ANSI code page is
        // involved. The scan result and the message come back as plain pointers:
        // a string return would make the marshaller free the result with its own
        // allocator (and free the message, which the library owns).
        private static class Native
        {
            [DllImport(LibraryName, EntryPoint = "edclean_scan", ExactSpelling = true,
                       CallingConvention = CallingConvention.Cdecl)]
            internal static extern IntPtr Scan(byte[] dirsJson, byte[] optionsJson);

            [DllImport(LibraryName, EntryPoint = "edclean_free_string", ExactSpelling = true,
                       CallingConvention = CallingConvention.Cdecl)]
            internal static extern void FreeString(IntPtr text);

            [DllImport(LibraryName, EntryPoint = "edclean_last_error", ExactSpelling = true,
                       CallingConvention = CallingConvention.Cdecl)]
            internal static extern IntPtr LastError();

            [DllImport(LibraryName, EntryPoint = "edclean_delete_dirs", ExactSpelling = true,
                       CallingConvention = CallingConvention.Cdecl)]
            internal static extern int DeleteDirs(byte[] dirsJson);

            [DllImport(LibraryName, EntryPoint = "edclean_delete_files", ExactSpelling = true,
                       CallingConvention = CallingConvention.Cdecl)]
            internal static extern int DeleteFiles(byte[] filesJson);
        }

        // A path that is not valid Unicode (a lone surrogate) is refused here
        // rather than sent on with a replacement character, which would name
        // some other path.
        private static readonly UTF8Encoding Utf8 = new UTF8Encoding(false, true);

        /// <summary>Scans the root directories.</summary>
        /// <param name="exclude">Glob patterns (*, ?, [...]) matched against each entry's name; an
        /// entry that matches is left alone as a hidden name is. Sent only when not null.</param>
        /// <param name="minAgeSeconds">Empty directories and zero-byte files modified less than this
        /// many seconds before the scan are not listed. Sent only when not null.</param>
        /// <param name="threads">How many threads the scan may use, 0 for as many as help. Sent
        /// only when not null.</param>
        /// <exception cref="EdcleanException">A root is refused; the library's message.</exception>
        /// <exception cref="ArgumentException">A path or pattern that is null or not valid Unicode,
        /// or a negative count.</exception>
        /// <exception cref="DllNotFoundException">The library cannot be loaded; the places tried.</exception>
        public static ScanResult Scan(IEnumerable<string> roots, bool includeHidden = false,
                                      bool includeZeroByte = true, IEnumerable<string> exclude = null,
                                      long? minAgeSeconds = null, int? threads = null)
        {
            byte[] dirs = PathsJson(roots);
            var chosen = new ScanOptions { IncludeHidden = includeHidden, IncludeZeroByte = includeZeroByte };
            if (exclude != null)
                chosen.Exclude = TextList(exclude, nameof(exclude), "pattern").ToArray();
            if (minAgeSeconds < 0)
                throw new ArgumentOutOfRangeException(nameof(minAgeSeconds), minAgeSeconds,
                                                      "minAgeSeconds must be 0 or more");
            if (threads < 0)
                throw new ArgumentOutOfRangeException(nameof(threads), threads, "threads must be 0 or more");
            chosen.MinAgeSeconds = minAgeSeconds;
            chosen.Threads = threads;
            byte[] options = ToNative(Serialize(chosen));
            EnsureLoaded();
            byte[] json;
            try
            {
                json = ScanNative(dirs, options);
            }
            catch (DllNotFoundException e)
            {
                throw NotFound(e);
            }
            var reader = new DataContractJsonSerializer(typeof(ScanResult));
            using (var stream = new MemoryStream(json))
                return (ScanResult)reader.ReadObject(stream);
        }

        /// <summary>Removes the listed directories that are still empty and inside scanned roots.
        /// An empty list removes nothing: Removed 0, Refusal null.</summary>
        /// <exception cref="EdcleanException">The list itself is refused; the library's message.</exception>
        public static DeleteResult DeleteDirs(IEnumerable<string> paths)
        {
            return Delete(paths, DeleteDirsNative);
        }

        /// <summary>Removes the listed files that are still zero-byte files inside scanned roots.
        /// An empty list removes nothing: Removed 0, Refusal null.</summary>
        /// <exception cref="EdcleanException">The list itself is refused; the library's message.</exception>
        public static DeleteResult DeleteFiles(IEnumerable<string> paths)
        {
            return Delete(paths, DeleteFilesNative);
        }

        private static DeleteResult Delete(IEnumerable<string> paths, Func<byte[], DeleteResult> call)
        {
            List<string> list = TextList(paths, nameof(paths), "path");
            // The library refuses an empty list as a malformed call; here it is
            // what a scan that found nothing hands on.
            if (list.Count == 0)
                return new DeleteResult(0, null);
            byte[] json = ToNative(Serialize(list.ToArray()));
            EnsureLoaded();
            try
            {
                return call(json);
            }
            catch (DllNotFoundException e)
            {
                throw NotFound(e);
            }
        }

        // The calls into the library sit in methods of their own, compiled only
        // when first called: Mono binds a method's imports when it compiles the
        // method, which must come after EnsureLoaded has loaded the library.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static byte[] ScanNative(byte[] dirs, byte[] options)
        {
            IntPtr text = Native.Scan(dirs, options);
            if (text == IntPtr.Zero)
                throw new EdcleanException(LastError());
            try
            {
                return CopyNative(text);
            }
            finally
            {
                Native.FreeString(text);
            }
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static DeleteResult DeleteDirsNative(byte[] json) => Counted(Native.DeleteDirs(json));

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static DeleteResult DeleteFilesNative(byte[] json) => Counted(Native.DeleteFiles(json));

        private static DeleteResult Counted(int count)
        {
            // Read on the thread that made the call: the message is per thread.
            string message = LastError();
            if (count < 0)
                throw new EdcleanException(message);
            return new DeleteResult(count, message.Length == 0 ? null : message);
        }

        /// <summary>The calling thread's message, copied; the text stays the library's.</summary>
        private static string LastError()
        {
            IntPtr text = Native.LastError();
            if (text == IntPtr.Zero)
                return "";
            return Encoding.UTF8.GetString(CopyNative(text));
        }

        // ---- finding the library ----

        private static class Dl
        {
            internal const int Now = 2;

            [DllImport("libdl.so.2", EntryPoint = "dlopen", ExactSpelling = true)]
            internal static extern IntPtr Open(byte[] file, int flags);

            [DllImport("libdl.so.2", EntryPoint = "dlerror", ExactSpelling = true)]
            internal static extern IntPtr Error();
        }

        private static class Kernel32
        {
            [DllImport("kernel32", EntryPoint = "LoadLibraryW", ExactSpelling = true,
                       CharSet = CharSet.Unicode, SetLastError = true)]
            internal static extern IntPtr LoadLibrary(string path);
        }

        private static readonly object LoadLock = new object();
        private static bool loadAttempted;
        private static bool namedLibraryFailed;
        private static List<string> tried = new List<string>();

        private static bool IsWindows => Path.DirectorySeparatorChar == '\\';

        private static string[] FileNames => IsWindows
            ? new[] { "tavirlen-empty-dir-cleaner.dll" }
            : new[] { "libtavirlen-empty-dir-cleaner.so.0", "libtavirlen-empty-dir-cleaner.so" };

        // The runtime identifiers of the package's runtimes/RID/native folders.
        private static string RuntimeId => (IsWindows ? "win-" : "linux-") + (IntPtr.Size == 8 ? "x64" : "x86");

        /// <summary>The places the library is looked for, in order, before the runtime's own search.</summary>
        private static IEnumerable<string> Candidates()
        {
            string explicitPath = Environment.GetEnvironmentVariable("EDCLEAN_LIBRARY");
            if (!string.IsNullOrEmpty(explicitPath))
            {
                yield return explicitPath;
                yield break;
            }
            string location = typeof(Edclean).Assembly.Location;
            if (string.IsNullOrEmpty(location))
                yield break; // loaded from memory: only the runtime's search is left
            string here = Path.GetDirectoryName(Path.GetFullPath(location));
            string native = Path.Combine("runtimes", RuntimeId, "native");
            var dirs = new List<string> { here, Path.Combine(here, native) };
            DirectoryInfo package = Directory.GetParent(here)?.Parent;
            if (package != null)
                dirs.Add(Path.Combine(package.FullName, native));
            foreach (string dir in dirs)
                foreach (string name in FileNames)
                    yield return Path.Combine(dir, name);
        }

        /// <summary>Loads the library from the first candidate that exists, once; a failure is
        /// kept for the message, and the runtime's own search has its turn, except after a
        /// library that EDCLEAN_LIBRARY names failed: that one is meant, and no other.</summary>
        private static void EnsureLoaded()
        {
            lock (LoadLock)
            {
                if (namedLibraryFailed)
                    throw NotFound(null);
                if (loadAttempted)
                    return;
                loadAttempted = true;
                foreach (string candidate in Candidates())
                {
                    if (!File.Exists(candidate))
                    {
                        tried.Add(candidate + " (no such file)");
                        continue;
                    }
                    string error = LoadByPath(candidate);
                    if (error == null)
                        return;
                    tried.Add(candidate + " (" + error + ")");
                }
                if (!string.IsNullOrEmpty(Environment.GetEnvironmentVariable("EDCLEAN_LIBRARY")))
                {
                    namedLibraryFailed = true;
                    throw NotFound(null);
                }
            }
        }

        /// <summary>Loads the file; null on success, else the system's reason.</summary>
        private static string LoadByPath(string path)
        {
            try
            {
                return IsWindows ? LoadOnWindows(path) : LoadOnUnix(path);
            }
            catch (Exception e) when (e is DllNotFoundException || e is EntryPointNotFoundException)
            {
                return "the system's loader cannot be called: " + e.Message;
            }
        }

        // One method per system, so that neither system's loader is bound on the other.
        [MethodImpl(MethodImplOptions.NoInlining)]
        private static string LoadOnWindows(string path)
        {
            if (Kernel32.LoadLibrary(path) != IntPtr.Zero)
                return null;
            return "error " + Marshal.GetLastWin32Error();
        }

        [MethodImpl(MethodImplOptions.NoInlining)]
        private static string LoadOnUnix(string path)
        {
            byte[] name = ToNative(Encoding.UTF8.GetBytes(path));
            if (Dl.Open(name, Dl.Now) != IntPtr.Zero)
                return null;
            IntPtr reason = Dl.Error();
            return reason == IntPtr.Zero ? "not loadable" : Encoding.UTF8.GetString(CopyNative(reason));
        }

        private static DllNotFoundException NotFound(DllNotFoundException e)
        {
            bool named = !string.IsNullOrEmpty(Environment.GetEnvironmentVariable("EDCLEAN_LIBRARY"));
            string hint = named
                ? "EDCLEAN_LIBRARY names it"
                : "set EDCLEAN_LIBRARY to its path, or put " + FileNames[0] + " beside "
                  + Path.GetFileName(typeof(Edclean).Assembly.Location) + " or in runtimes/" + RuntimeId
                  + "/native (the package carries it there), or in a folder the system's loader searches"
                  + (IsWindows ? " (PATH)" : " (LD_LIBRARY_PATH)");
            var places = new List<string>(tried);
            if (e != null)
                places.Add(LibraryName + " through the runtime's own search (" + e.Message + ")");
            return new DllNotFoundException("cannot load the tavirlen-empty-dir-cleaner library (" + hint
                                            + "); tried:\n  " + string.Join("\n  ", places), e);
        }

        private static byte[] CopyNative(IntPtr text)
        {
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0)
                length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return bytes;
        }

        private static byte[] PathsJson(IEnumerable<string> paths)
        {
            return ToNative(Serialize(TextList(paths, nameof(paths), "path").ToArray()));
        }

        private static List<string> TextList(IEnumerable<string> items, string parameter, string what)
        {
            if (items == null)
                throw new ArgumentNullException(parameter);
            var list = new List<string>(items);
            foreach (string item in list)
            {
                if (item == null)
                    throw new ArgumentException("a " + what + " is null", parameter);
                try
                {
                    Utf8.GetByteCount(item);
                }
                catch (ArgumentException)
                {
                    // A lone surrogate would turn into U+FFFD and name another path.
                    throw new ArgumentException(what + " \"" + Escaped(item) + "\" is not valid Unicode text: "
                                                + "only UTF-8 names can be passed", parameter);
                }
            }
            return list;
        }

        private static string Escaped(string text)
        {
            var shown = new StringBuilder();
            foreach (char c in text)
            {
                if (char.IsSurrogate(c) || char.IsControl(c))
                    shown.Append("\\u").Append(((int)c).ToString("x4"));
                else
                    shown.Append(c);
            }
            return shown.ToString();
        }

        private static byte[] Serialize<T>(T value)
        {
            var writer = new DataContractJsonSerializer(typeof(T));
            using (var stream = new MemoryStream())
            {
                writer.WriteObject(stream, value); // UTF-8, no byte order mark
                return stream.ToArray();
            }
        }

        private static byte[] ToNative(byte[] utf8)
        {
            var text = new byte[utf8.Length + 1];
            Buffer.BlockCopy(utf8, 0, text, 0, utf8.Length);
            return text;
        }
    }
}
