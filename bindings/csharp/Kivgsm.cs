// SPDX-License-Identifier: MIT
// kivgsm for .NET hosts: the library's five entry points, and a small
// layer that turns its result codes into exceptions.
//
// Paths are zero-terminated UTF-16. CharSet.Unicode marshals a string as
// exactly that: on Windows (.NET Framework, .NET) and with Mono on Linux.
// The library is "kivgsm": kivgsm.dll on Windows, found beside the program
// or on the DLL search path; on Linux Mono maps it through Sample.exe.config
// (or a program's own .config with the same dllmap) to libkivgsm.so.1.
using System;
using System.Runtime.InteropServices;

namespace Kivgsm
{
    /// <summary>The C API of kivgsm.h, as it stands.</summary>
    public static class NativeMethods
    {
        public const string Library = "kivgsm";
        public const int Ok = 999;

        [DllImport(Library, CharSet = CharSet.Unicode, ExactSpelling = true, CallingConvention = CallingConvention.Winapi)]
        public static extern int KivWave2GSM610(string inputPath, string outputPath);

        [DllImport(Library, CharSet = CharSet.Unicode, ExactSpelling = true, CallingConvention = CallingConvention.Winapi)]
        public static extern int KivGSMSoundRecorderStart(string path);

        [DllImport(Library, CharSet = CharSet.Unicode, ExactSpelling = true, CallingConvention = CallingConvention.Winapi)]
        public static extern int KivGSMSoundRecorderStop();

        [DllImport(Library, CharSet = CharSet.Unicode, ExactSpelling = true, CallingConvention = CallingConvention.Winapi)]
        public static extern int KivGSMWAVSoundRecorderStart(string path);

        [DllImport(Library, CharSet = CharSet.Unicode, ExactSpelling = true, CallingConvention = CallingConvention.Winapi)]
        public static extern int KivGSMWAVSoundRecorderStop();
    }

    /// <summary>A kivgsm call returned a code other than 999.</summary>
    public sealed class KivgsmException : Exception
    {
        public int Code { get; private set; }
        public string Meaning { get; private set; }
        public string Path { get; private set; }

        public KivgsmException(int code, string what, string path)
            : base(what + ": " + MeaningOf(code) + " (kivgsm code " + code + ")")
        {
            Code = code;
            Meaning = MeaningOf(code);
            Path = path;
        }

        /// <summary>Each code's meaning, as kivgsm.h words it.</summary>
        public static string MeaningOf(int code)
        {
            switch (code)
            {
                case 1: return "the audio input device cannot be opened";
                case 2: return "the capture buffer cannot be queued";
                case 3: return "audio input cannot be started";
                case 4: return "the output file cannot be created";
                case 5: return "the input file cannot be opened or read";
                case 6: return "the codec cannot be created, or libgsm lacks WAV49";
                case 7: return "a write, seek, flush or close of the output failed";
                case 8: return "the recorder is already running";
                case 9: return "null, empty or malformed path; output is the input or being written";
                case 10: return "audio beyond 13421772 blocks; that many were written";
                default: return "unknown result code";
            }
        }
    }

    /// <summary>Conversion and recording that throw KivgsmException.</summary>
    public static class Gsm
    {
        /// <summary>Converts raw 8000 Hz mono 16-bit little-endian PCM into
        /// a GSM 06.10 WAVE file.</summary>
        public static void Convert(string inputPath, string outputPath)
        {
            CheckPath(inputPath, "inputPath");
            CheckPath(outputPath, "outputPath");
            int code = NativeMethods.KivWave2GSM610(inputPath, outputPath);
            if (code != NativeMethods.Ok)
                throw new KivgsmException(code, "cannot convert '" + inputPath + "' to '" + outputPath + "'",
                                          code == 5 ? inputPath : outputPath);
        }

        /// <summary>Starts recording into a GSM WAVE file (or, with pcm,
        /// a 16-bit PCM WAVE file); Dispose stops it.</summary>
        public static Recording Record(string path, bool pcm = false)
        {
            CheckPath(path, "path");
            int code = pcm ? NativeMethods.KivGSMWAVSoundRecorderStart(path)
                           : NativeMethods.KivGSMSoundRecorderStart(path);
            if (code == NativeMethods.Ok) return new Recording(pcm, path);
            // After 1-3 the file holds a provisional header: finish it empty.
            if (code >= 1 && code <= 3)
            {
                if (pcm) NativeMethods.KivGSMWAVSoundRecorderStop();
                else NativeMethods.KivGSMSoundRecorderStop();
            }
            throw new KivgsmException(code, "cannot record to '" + path + "'", path);
        }

        // A NUL would end the path early: the library would see another name.
        static void CheckPath(string path, string name)
        {
            if (path == null) throw new ArgumentNullException(name);
            if (path.IndexOf('\0') >= 0) throw new ArgumentException("the path holds a NUL character", name);
        }
    }

    /// <summary>A running recording; Dispose (or Stop) finishes its file.</summary>
    public sealed class Recording : IDisposable
    {
        readonly bool pcm;
        bool running = true;

        internal Recording(bool pcm, string path) { this.pcm = pcm; this.path = path; }
        readonly string path;

        /// <summary>The whole seconds recorded, once stopped.</summary>
        public int Seconds { get; private set; }

        /// <summary>Stops the recording and returns its whole seconds.
        /// Throws KivgsmException (code 7) when the file's header could not
        /// be finished: the audio is in the file, which kivgsm repair
        /// finishes.</summary>
        public int Stop()
        {
            if (running)
            {
                running = false;
                int result = pcm ? NativeMethods.KivGSMWAVSoundRecorderStop() : NativeMethods.KivGSMSoundRecorderStop();
                if (result < 0)
                    throw new KivgsmException(-result, "cannot finish '" + path + "'", path);
                Seconds = result;
            }
            return Seconds;
        }

        public void Dispose() { Stop(); }
    }
}
