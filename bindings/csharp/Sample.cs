// SPDX-License-Identifier: MIT
// Sample IN OUT: converts the raw 8000 Hz mono 16-bit file IN into the GSM
// WAVE file OUT. Exits 0 on success, with the library's code on failure,
// 64 on wrong usage and 65 when the library cannot be loaded.
//
//   Windows: csc Sample.cs Kivgsm.cs   (kivgsm.dll beside Sample.exe)
//   Mono:    mcs Sample.cs Kivgsm.cs && mono Sample.exe IN OUT
using System;

static class Sample
{
    static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: Sample IN OUT");
            return 64;
        }
        try
        {
            Kivgsm.Gsm.Convert(args[0], args[1]);
            return 0;
        }
        catch (Kivgsm.KivgsmException e)
        {
            Console.Error.WriteLine(e.Message);
            return e.Code;
        }
        catch (DllNotFoundException e)
        {
            Console.Error.WriteLine("the kivgsm library cannot be loaded: " + e.Message);
            return 65;
        }
    }
}
