#include "release/ReleasePublishing.h"

#include "core/NameDecoding.h"
#include "release/ArchiveCheck.h"
#include "release/ArchiveNames.h"
#include "release/DiskFile.h"
#include "release/FileDescriptor.h"
#include "release/OutputTarget.h"
#include "release/PendingFile.h"
#include "release/ReleaseFolder.h"
#include "release/ToolError.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

// An orvandel-*.zip of RELEASES that is what its name says.
struct TPublished {
    std::string path;
    TArchiveName name;
};

std::string JoinFolder(const std::string& folder, const std::string& name) {
    return folder.ends_with('/') ? folder + name : folder + '/' + name;
}

std::string DescribeArchive(const TArchiveName& name) {
    return "version " + FormatReleaseVersion(name.version) +
           (name.base ? ", a partial update for version " + FormatReleaseVersion(*name.base)
                      : ", a full update");
}

// The archive at the path when it is what its name says; else the reasons why not.
std::optional<TPublished> ReadPublished(const std::string& path, const std::string& name,
                                        std::vector<std::string>& problems) {
    const std::optional<TArchiveName> named = ParseArchiveName(name);
    if (!named) {
        problems.push_back(path + ": not a name that publish gives: orvandel-V.zip or "
                                  "orvandel-V-from-U.zip, V and U versions such as 2.1");
        return std::nullopt;
    }
    struct stat status {};
    if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        problems.push_back(path + ": not a regular file");
        return std::nullopt;
    }
    // Only the directory and the description: publish must not take longer with every release
    // kept. The full updates that partial ones are made for are read whole by pack.
    const TArchiveReport report =
        ReadArchiveDescription(std::make_unique<CDiskFile>(path, CDiskFile::TAccess::Read));
    if (!report.IsInstallable()) {
        for (const std::string& problem : report.problems) {
            problems.push_back(path + ": " + problem);
        }
        problems.push_back(path + ": the updater would not install it");
        return std::nullopt;
    }
    if (!report.description) {
        problems.push_back(path + ": holds no release description, so it names no version");
        return std::nullopt;
    }
    const TArchiveName described{report.description->version, report.description->base};
    if (FormatArchiveName(described) != name) {
        problems.push_back(path + ": its description says " + DescribeArchive(described) +
                           ", not what its name says");
        return std::nullopt;
    }
    return TPublished{path, *named};
}

std::vector<TPublished> ReadReleasesFolder(const std::string& releases,
                                           std::vector<std::string>& problems) {
    const std::optional<std::vector<std::string>> names = ListFolder(releases);
    if (!names) {
        ThrowFileError("cannot list", releases);
    }
    std::vector<TPublished> published;
    for (const std::string& name : *names) {
        if (IsPublishedArchiveName(name)) {
            if (std::optional<TPublished> archive =
                    ReadPublished(JoinFolder(releases, name), name, problems)) {
                published.push_back(std::move(*archive));
            }
        }
    }
    return published;
}

// Which archives count as released, and which were left by a publish that ended before its
// feed: those above the feed's latest version, or without a feed those of this very version.
// The newest release, and the full updates that partial ones may be made for, newest first.
struct TReleased {
    std::optional<TReleaseVersion> newest;
    std::vector<const TPublished*> fulls;
};

TReleased SortPublished(const std::vector<TPublished>& published,
                        const std::optional<TReleaseVersion>& latest,
                        const TPublishRequest& request, TPublicationPlan& plan) {
    TReleased released;
    released.newest = latest;
    for (const TPublished& archive : published) {
        const TReleaseVersion& version = archive.name.version;
        const bool unfinished = latest ? *latest < version : version == request.version;
        if (unfinished && version == request.version) {
            plan.warnings.push_back("warning: " + archive.path +
                                    ": left by a publish of this version that ended before its "
                                    "feed; replaced where this run makes it again");
        } else if (unfinished) {
            plan.problems.push_back(
                archive.path + ": version " + FormatReleaseVersion(version) +
                " is above the feed's latest version " + FormatReleaseVersion(*latest) +
                ": a publish of it ended before its feed; publish it again or remove it");
        } else {
            if (!latest && (!released.newest || *released.newest < version)) {
                released.newest = version;
            }
            if (!archive.name.base) {
                released.fulls.push_back(&archive);
            }
        }
    }
    std::sort(released.fulls.begin(), released.fulls.end(),
              [](const TPublished* left, const TPublished* right) {
                  return right->name.version < left->name.version;
              });
    for (std::size_t at = 1; at < released.fulls.size(); ++at) {
        if (released.fulls[at]->name.version == released.fulls[at - 1]->name.version) {
            plan.problems.push_back(released.fulls[at - 1]->path + " and " +
                                    released.fulls[at]->path + ": two full updates of one version");
        }
    }
    return released;
}

// Removes the archives a run wrote unless it reached its feed.
class CWrittenArchives {
public:
    CWrittenArchives() = default;
    CWrittenArchives(const CWrittenArchives&) = delete;
    CWrittenArchives& operator=(const CWrittenArchives&) = delete;
    virtual ~CWrittenArchives() {
        for (const std::string& path : m_paths) {
            unlink(path.c_str());
        }
    }

    void Add(const std::string& path) { m_paths.push_back(path); }
    void Keep() { m_paths.clear(); }

private:
    std::vector<std::string> m_paths;
};

TFeedArchive DescribeWritten(const std::string& path, const TPackReport& packed) {
    TFeedArchive entry;
    entry.version = packed.description.version;
    entry.base = packed.description.base;
    const std::optional<std::u16string> name = DecodeUtf8(path.substr(path.find_last_of('/') + 1));
    entry.name = name.value_or(std::u16string());
    const CDiskFile archive(path, CDiskFile::TAccess::Read);
    entry.size = archive.GetSize();
    entry.sha256 = DigestRange(archive, entry.size);
    return entry;
}

void WriteFeed(const std::string& path, const TReleaseFeed& feed) {
    CPendingFile pending(path);
    WriteAt(pending.GetDescriptor(), 0, FormatReleaseFeed(feed), pending.GetPath());
    pending.Commit();
}

} // namespace

TFeedParse ReadReleaseFeedFile(const std::string& path) {
    return ParseReleaseFeed(ReadFileStart(path, LargestReleaseFeed + 1));
}

TPublicationPlan PlanPublication(const TPublishRequest& request) {
    TPublicationPlan plan;
    struct stat status {};
    if (stat(request.releases.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        plan.problems.push_back(request.releases +
                                ": no folder; make it, empty, for the first release");
        return plan;
    }
    const std::vector<TPublished> published = ReadReleasesFolder(request.releases, plan.problems);
    plan.feedPath = JoinFolder(request.releases, std::string(ReleaseFeedName));
    std::optional<TReleaseVersion> latest;
    if (lstat(plan.feedPath.c_str(), &status) == 0) {
        const TFeedParse parse = ReadReleaseFeedFile(plan.feedPath);
        if (parse.feed) {
            latest = parse.feed->latest;
        } else {
            plan.problems.push_back(plan.feedPath + ": a damaged feed: " + parse.fault);
        }
    }
    const TReleased released = SortPublished(published, latest, request, plan);
    if (released.newest && request.version <= *released.newest) {
        plan.problems.push_back("version " + FormatReleaseVersion(request.version) +
                                " is not above version " + FormatReleaseVersion(*released.newest) +
                                ", the newest release in " + request.releases);
        return plan;
    }

    plan.archives.push_back(
        {JoinFolder(request.releases, FormatArchiveName({request.version, std::nullopt})), {}});
    CRunInputs inputs;
    if (request.key != nullptr) {
        inputs.Add(request.key->GetPath(), "the signing key given with --key");
    }
    for (std::size_t at = 0; at < std::min(request.partials, released.fulls.size()); ++at) {
        const TPublished& base = *released.fulls[at];
        plan.archives.push_back(
            {JoinFolder(request.releases, FormatArchiveName({request.version, base.name.version})),
             base.path});
        inputs.Add(base.path, "the earlier full update " + base.path);
    }
    std::vector<std::string> outputs{plan.feedPath};
    for (const TPlannedArchive& archive : plan.archives) {
        outputs.push_back(archive.path);
    }
    for (const std::string& output : outputs) {
        TOutputCheck check = CheckOutputTarget(output, inputs);
        plan.problems.insert(plan.problems.end(), check.problems.begin(), check.problems.end());
        plan.warnings.insert(plan.warnings.end(), check.warnings.begin(), check.warnings.end());
    }
    const TReleaseFolder folder = ScanReleaseFolder(request.folder);
    plan.problems.insert(plan.problems.end(), folder.problems.begin(), folder.problems.end());
    return plan;
}

TPublishReport PublishRelease(const TPublishRequest& request) {
    TPublicationPlan plan = PlanPublication(request);
    TPublishReport report;
    report.warnings = std::move(plan.warnings);
    report.problems = std::move(plan.problems);
    if (!report.problems.empty()) {
        return report;
    }
    TReleaseFeed feed;
    feed.latest = request.version;
    CWrittenArchives written;
    for (const TPlannedArchive& archive : plan.archives) {
        TPackRequest pack;
        pack.folder = request.folder;
        pack.output = archive.path;
        pack.version = request.version;
        pack.previous = archive.previous;
        pack.key = request.key;
        pack.timestamp = request.timestamp;
        TPackReport packed = PackRelease(pack);
        // Its warnings are the plan's, which looked beside the same paths.
        report.problems = std::move(packed.outputProblems);
        report.problems.insert(report.problems.end(), packed.problems.begin(),
                               packed.problems.end());
        if (!report.problems.empty()) {
            report.archives.clear();
            return report;
        }
        written.Add(archive.path);
        TFeedArchive entry = DescribeWritten(archive.path, packed);
        if (entry.base) {
            feed.partials.push_back(std::move(entry));
        } else {
            feed.full = std::move(entry);
        }
        report.archives.emplace_back(archive.path, std::move(packed));
    }
    WriteFeed(plan.feedPath, feed);
    written.Keep();
    report.feedPath = plan.feedPath;
    report.feed = std::move(feed);
    return report;
}
