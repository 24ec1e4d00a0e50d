#include "release/ArchiveCheck.h"

#include "zip/core/NameScreen.h"
#include "zip/core/ZipArchive.h"
#include "zip/core/ZipEntryReader.h"
#include "zip/core/ZipFault.h"

#include <string_view>

namespace {

constexpr std::size_t ReadBufferSize = 1 << 20;

// Names come from the reader core's decoding: strict UTF-8 or CP437, so never a lone surrogate
// that would need a replacement here.
std::string ToUtf8(std::u16string_view text) {
    std::string out;
    for (std::size_t at = 0; at < text.size(); ++at) {
        char32_t code = text[at];
        if (code >= 0xD800 && code <= 0xDBFF && at + 1 < text.size() && text[at + 1] >= 0xDC00 &&
            text[at + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++at] - 0xDC00);
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

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
        const std::string path = folderPath + ToUtf8(item.name);
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
