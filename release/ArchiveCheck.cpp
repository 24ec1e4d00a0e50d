#include "release/ArchiveCheck.h"

#include "zip/core/NameDecoding.h"
#include "zip/core/NameScreen.h"
#include "zip/core/ZipArchive.h"
#include "zip/core/ZipEntryReader.h"
#include "zip/core/ZipFault.h"

namespace {

constexpr std::size_t ReadBufferSize = 1 << 20;

bool HasInstallerAtTop(const CZipArchive& archive) {
    for (const std::size_t child : archive.GetItem(CZipArchive::RootFolder).children) {
        const TZipItem& item = archive.GetItem(child);
        if (!item.isFolder && IsInstallerName(item.name)) {
            return true;
        }
    }
    return false;
}

// Reads each file below the folder to its end, in the order the updater unpacks them, and
// notes every entry that the reader refuses; the others are still read.
void ReadFiles(const std::shared_ptr<const CZipArchive>& archive, std::size_t folder,
               const std::string& folderPath, std::vector<unsigned char>& buffer,
               TArchiveReport& report) {
    for (const std::size_t child : archive->GetItem(folder).children) {
        const TZipItem& item = archive->GetItem(child);
        const std::string path = folderPath + EncodeUtf8(item.name);
        if (item.isFolder) {
            ReadFiles(archive, child, path + "/", buffer, report);
            continue;
        }
        ++report.fileCount;
        try {
            CZipEntryReader reader(archive, child);
            while (reader.Read(buffer.data(), buffer.size()) != 0) {
            }
        } catch (const CZipException& fault) {
            report.problems.push_back(path + ": " + fault.GetReason());
        }
    }
}

} // namespace

TArchiveReport CheckArchive(std::unique_ptr<CByteSource> source) {
    TArchiveReport report;
    std::shared_ptr<const CZipArchive> archive;
    try {
        archive = std::make_shared<const CZipArchive>(std::move(source));
    } catch (const CZipException& fault) {
        report.problems.push_back(std::string("archive refused as a whole: ") + fault.GetReason());
        return report;
    }
    if (!HasInstallerAtTop(*archive)) {
        report.problems.push_back(
            "no EXE or MSI file at the top level: nothing would be installed");
    }
    std::vector<unsigned char> buffer(ReadBufferSize);
    ReadFiles(archive, CZipArchive::RootFolder, "", buffer, report);
    return report;
}
