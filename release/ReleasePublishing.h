#pragma once

#include "core/ReleaseDescription.h"
#include "core/ReleaseFeed.h"
#include "release/ReleasePacking.h"
#include "release/SigningKey.h"

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The vendor's release folder, RELEASES, is uploaded as it is to the download server: every full
// update orvandel-V.zip, the partial updates orvandel-V-from-U.zip, and the feed releases.txt
// that names the latest version's archives. Publishing a version adds its full update and its
// partial updates for the newest earlier full ones, then replaces the feed.

constexpr std::size_t DefaultPartialUpdates = 3;

struct TPublishRequest {
    std::string folder; // the whole new version, as pack takes it
    std::string releases;
    TReleaseVersion version;
    std::size_t partials = DefaultPartialUpdates; // for that many earlier full updates at most
    const CSigningKey* key = nullptr;
    std::time_t timestamp = 0;
};

// One archive that publishing the version makes.
struct TPlannedArchive {
    std::string path;
    std::optional<std::string> previous; // the earlier full update, for a partial update
};

struct TPublicationPlan {
    // Why nothing may be written, one line each, each naming its file.
    std::vector<std::string> problems;
    std::vector<std::string> warnings;
    // The full update first, then the partial ones, newest base first.
    std::vector<TPlannedArchive> archives;
    std::string feedPath;
};

// Reads RELEASES and the folder and decides what publishing writes, writing nothing: every
// orvandel-*.zip there must be what its name says (an archive whose directory the updater reads,
// with an installer at its top and a description of that version and base, a full one none;
// its files are read only where pack makes a partial update for it), the feed must parse, and
// the version must be above the newest one released. Archives above the feed's latest version are
// what a publish that was interrupted before its feed left: those of this version are made again,
// others are refused. The folder's faults are pack's own.
TPublicationPlan PlanPublication(const TPublishRequest& request);

struct TPublishReport {
    std::vector<std::string> warnings;
    // Why nothing was written (the plan's refusals, or pack's); empty once the feed is in place.
    std::vector<std::string> problems;
    // Each archive written and what pack said of it, in the order of the plan's archives.
    std::vector<std::pair<std::string, TPackReport>> archives;
    std::string feedPath;
    std::optional<TReleaseFeed> feed;
};

// Carries out the plan: packs each archive (each through a temporary name, flushed and renamed
// into place), then writes the feed the same way, so that an interrupted run leaves the old feed
// and everything it names as it was. A refusal after an archive was written removes the archives
// of the run again. Same folder, same RELEASES, same request: the same bytes, signatures aside.
// The tool's own faults are CToolErrors.
TPublishReport PublishRelease(const TPublishRequest& request);

// The feed at the path, parsed; a file that cannot be read is a CToolError.
TFeedParse ReadReleaseFeedFile(const std::string& path);
