#include "FeedDownload.h"

#include "HelperSupport.h"

#include "common/FileHelpers.h"
#include "common/PathHelpers.h"
#include "common/Sha256.h"
#include "common/SystemErrors.h"
#include "common/TextHelpers.h"
#include "core/ReleaseDescription.h"
#include "core/ReleaseFeed.h"
#include "zip/FileByteSource.h"

#include <memory>

namespace {

constexpr std::size_t SettingLines = 4;

struct TDownload {
    std::wstring programFolder;
    std::wstring logPath;
    std::wstring triedPath;
};

void Log(const TDownload& download, const std::wstring& line) {
    AppendLine(download.logPath, line);
}

// The version the directory's description names, or none where it has none that parses.
std::optional<TReleaseVersion> ReadInstalledVersion(const TDownload& download) {
    std::string text;
    if (ReadWholeFile(JoinPath(download.programFolder, std::wstring(ReleaseDescriptionName.begin(),
                                                                    ReleaseDescriptionName.end())),
                      text, LargestReleaseDescription) != ERROR_SUCCESS) {
        Log(download, L"installed: none");
        return std::nullopt;
    }
    const TReleaseParse parse = ParseReleaseDescription(text);
    if (!parse.description) {
        Log(download, L"installed: a description that does not parse: " + FromUtf8(parse.fault));
        return std::nullopt;
    }
    Log(download, L"installed: " + FromUtf8(FormatReleaseVersion(parse.description->version)));
    return parse.description->version;
}

// Where the copy has the feed's size and SHA-256.
bool CheckDownload(const TDownload& download, const std::wstring& path,
                   const TFeedArchive& archive) {
    std::unique_ptr<CByteSource> source;
    if (FAILED(OpenFileByteSource(path, source))) {
        Log(download, L"refused: the download cannot be opened");
        return false;
    }
    if (source->GetSize() != archive.size) {
        Log(download, L"refused: " + std::to_wstring(source->GetSize()) +
                          L" bytes, the feed says " + std::to_wstring(archive.size));
        return false;
    }
    CSha256 sha256;
    if (!sha256.AddRange(*source, 0, source->GetSize())) {
        Log(download, L"refused: the download cannot be read to its end");
        return false;
    }
    if (sha256.Finish() != archive.sha256) {
        Log(download, L"refused: its SHA-256 is not the feed's");
        return false;
    }
    Log(download, L"checked: " + std::to_wstring(archive.size) +
                      L" bytes and the SHA-256 of the "
                      L"feed");
    return true;
}

// The archive to download: the choice, or after the chosen partial update failed the full one,
// once; nothing once the full update failed too.
const TFeedArchive* ChooseAfterFailures(const TDownload& download, const TReleaseFeed& feed,
                                        const std::optional<TReleaseVersion>& installed) {
    const TFeedArchive* chosen = ChooseUpdateArchive(feed, installed);
    std::string tried;
    const bool triedBefore =
        ReadWholeFile(download.triedPath, tried, LargestReleaseFeed) == ERROR_SUCCESS;
    if (tried.ends_with('\n')) {
        tried.pop_back();
    }
    if (chosen == nullptr) {
        DeleteFileAndGetError(download.triedPath);
        Log(download, L"current: nothing to download");
        return nullptr;
    }
    if (triedBefore && tried == FormatFeedLine(feed.full)) {
        Log(download, L"given up: the full update failed too");
        return nullptr;
    }
    if (triedBefore && chosen->base && tried == FormatFeedLine(*chosen)) {
        Log(download, L"retry: the partial update failed; the full update, once");
        chosen = &feed.full;
    }
    return chosen;
}

} // namespace

std::optional<std::vector<std::wstring>> DownloadUpdate(const std::wstring& programFolder,
                                                        const std::vector<std::wstring>& settings) {
    const TDownload download{programFolder, JoinPath(programFolder, L"download.log"),
                             JoinPath(programFolder, L"update.tried")};
    if (settings.size() != SettingLines) {
        Log(download, L"malformed update.feed");
        return std::nullopt;
    }
    const std::wstring& server = settings[0];
    std::string text;
    const std::wstring feedPath =
        JoinPath(server, std::wstring(ReleaseFeedName.begin(), ReleaseFeedName.end()));
    if (const DWORD error = ReadWholeFile(feedPath, text, LargestReleaseFeed + 1);
        error != ERROR_SUCCESS) {
        Log(download, L"feed: cannot be read: " + DescribeSystemError(error));
        return std::nullopt;
    }
    const TFeedParse parse = ParseReleaseFeed(text);
    if (!parse.feed) {
        Log(download, L"feed: damaged: " + FromUtf8(parse.fault));
        return std::nullopt;
    }
    Log(download, L"feed: latest " + FromUtf8(FormatReleaseVersion(parse.feed->latest)));
    const TFeedArchive* chosen =
        ChooseAfterFailures(download, *parse.feed, ReadInstalledVersion(download));
    if (chosen == nullptr) {
        return std::nullopt;
    }
    const std::string line = FormatFeedLine(*chosen);
    Log(download, L"chosen: " + FromUtf8(line));
    const std::wstring name(chosen->name.begin(), chosen->name.end());
    const std::wstring archive = JoinPath(settings[3], name);
    if (!CopyFileW(ToExtendedLengthPath(JoinPath(server, name)).c_str(),
                   ToExtendedLengthPath(archive).c_str(), FALSE)) {
        Log(download, L"refused: the download failed: " + DescribeSystemError(GetLastError()));
        return std::nullopt;
    }
    if (!CheckDownload(download, archive, *chosen)) {
        DeleteFileAndGetError(archive);
        return std::nullopt;
    }
    DeleteFileAndGetError(download.triedPath);
    AppendLine(download.triedPath, FromUtf8(line));
    // The updater deletes the archive once it is done with it: the fifth field.
    return std::vector<std::wstring>{settings[1], settings[2], archive, L"", L"1"};
}
