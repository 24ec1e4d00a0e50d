// How fast Windows' CNG hashes with SHA-256 here: the pass over an installed file that every
// patched update makes before anything is written costs the file's size at this speed.
// Usage: bench_sha256 [MiB]; hashes that much memory (256 MiB unless given) three times and
// prints "sha256 <MB/s of the fastest pass>".

#include "common/Errors.h"
#include "common/Sha256.h"
#include "common/Stopwatch.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    const std::size_t mebibytes = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 256;
    std::vector<unsigned char> bytes(mebibytes * 1024 * 1024);
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        bytes[at] = static_cast<unsigned char>(at * 2654435761u >> 13);
    }
    try {
        double fastest = 0;
        for (int pass = 0; pass < 3; ++pass) {
            CStopwatch stopwatch;
            CSha256 sha256;
            // In the pieces the updater's own pass reads.
            for (std::size_t at = 0; at < bytes.size(); at += 4 * 1024 * 1024) {
                sha256.Add(bytes.data() + at,
                           std::min<std::size_t>(4 * 1024 * 1024, bytes.size() - at));
            }
            sha256.Finish();
            fastest = std::max(fastest, static_cast<double>(bytes.size()) / 1e6 / stopwatch.Lap());
        }
        std::printf("sha256 %.1f\n", fastest);
        return 0;
    } catch (const COrvException& failure) {
        std::fwprintf(stderr, L"%ls\n", failure.Describe().c_str());
        return 1;
    }
}
