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
using System;
using System.Collections.Generic;
using System.IO;
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
        /// <exception cref="EdcleanException">A root is refused; the library's message.</exception>
        public static ScanResult Scan(IEnumerable<string> roots, bool includeHidden = false,
                                      bool includeZeroByte = true)
        {
            byte[] dirs = PathsJson(roots);
            byte[] options = ToNative(Serialize(new ScanOptions {
                IncludeHidden = includeHidden, IncludeZeroByte = includeZeroByte }));
            IntPtr text = Native.Scan(dirs, options);
            if (text == IntPtr.Zero)
                throw new EdcleanException(LastError());
            byte[] json;
            try
            {
                json = CopyNative(text);
            }
            finally
            {
                Native.FreeString(text);
            }
            var reader = new DataContractJsonSerializer(typeof(ScanResult));
            using (var stream = new MemoryStream(json))
                return (ScanResult)reader.ReadObject(stream);
        }

        /// <summary>Removes the listed directories that are still empty and inside scanned roots.</summary>
        /// <exception cref="EdcleanException">The list itself is refused; the library's message.</exception>
        public static DeleteResult DeleteDirs(IEnumerable<string> paths)
        {
            int count = Native.DeleteDirs(PathsJson(paths));
            return Counted(count);
        }

        /// <summary>Removes the listed files that are still zero-byte files inside scanned roots.</summary>
        /// <exception cref="EdcleanException">The list itself is refused; the library's message.</exception>
        public static DeleteResult DeleteFiles(IEnumerable<string> paths)
        {
            int count = Native.DeleteFiles(PathsJson(paths));
            return Counted(count);
        }

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
            if (paths == null)
                throw new ArgumentNullException(nameof(paths));
            var list = new List<string>(paths);
            if (list.Contains(null))
                throw new ArgumentException("a path is null", nameof(paths));
            foreach (string path in list)
                Utf8.GetByteCount(path); // throws on a lone surrogate
            return ToNative(Serialize(list.ToArray()));
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
