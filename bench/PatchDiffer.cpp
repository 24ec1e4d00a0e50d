// bench_patch_differ OLD NEW PATCH: the release tool's differ alone, as bench/differ times it
// beside bsdiff: writes the raw patch and prints its work in one line.
#include "release/PatchDiffer.h"
#include "release/DiskFile.h"
#include "release/FileDescriptor.h"
#include "release/MappedFile.h"
#include "release/ToolError.h"

#include <fcntl.h>

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
    const CDiskFile file(path, CDiskFile::TAccess::Read);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.GetSize()));
    if (!file.ReadAt(0, bytes.data(), bytes.size())) {
        throw CToolError("cannot read " + path + " to the end");
    }
    return bytes;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: bench_patch_differ OLD NEW PATCH\n";
        return 2;
    }
    try {
        const std::vector<std::uint8_t> old = ReadWhole(argv[1]);
        // As pack has them: the old file read whole from the previous archive, the new one
        // mapped.
        CMappedFile made(argv[2]);
        const CFileDescriptor patch(open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0644));
        if (patch.Get() < 0) {
            ThrowFileError("cannot create", argv[3]);
        }
        std::uint64_t written = 0;
        const TDiffWork work = DiffFiles(
            old, made.GetBytes(),
            [&](std::string_view piece) {
                WriteAt(patch.Get(), written, piece, argv[3]);
                written += piece.size();
            },
            [&](std::uint64_t passed) { made.Release(passed); });
        std::cout << "patch " << written << " bytes, " << work.records << " records, " << work.steps
                  << " steps\n";
    } catch (const CToolError& error) {
        std::cerr << "error: " << error.what() << '\n';
        return 2;
    }
    return 0;
}
