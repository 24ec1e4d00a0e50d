#pragma once

#include "core/ReleaseDescription.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a vendor's release folder offers, in one text file beside its archives (releases.txt),
// which the application reads to choose its download and the release tool writes as it
// publishes. This is the format's only definition.
//
//   orvandel-feed 1
//   latest 2.1
//   full 2.1 orvandel-2.1.zip 12345678 <sha256>
//   partial 2.1 2.0 orvandel-2.1-from-2.0.zip 234567 <sha256>
//
// Lines in the release description's style (CTextLines), no line empty, one blank between
// fields. The format line, the latest version, one full update of it, then any number of
// partial updates of it, each for another base below it. A name is a plain file name beside
// the feed, screened as an archive's names are; a size is decimal bytes without a leading
// zero; the SHA-256 of the archive is lowercase hex. Anything else is a damaged feed.

constexpr std::string_view ReleaseFeedName = "releases.txt";
// Far above any real feed, and low enough that an application reads it whole.
constexpr std::size_t LargestReleaseFeed = 1024 * 1024;

// One archive that the feed offers.
struct TFeedArchive {
    TReleaseVersion version;
    std::optional<TReleaseVersion> base; // present: a partial update for that version only
    std::u16string name;
    std::uint64_t size = 0;
    TSha256 sha256{};

    bool operator==(const TFeedArchive&) const = default;
};

struct TReleaseFeed {
    TReleaseVersion latest;
    TFeedArchive full;
    // In the order listed; their bases differ and lie below latest.
    std::vector<TFeedArchive> partials;

    bool operator==(const TReleaseFeed&) const = default;
};

// The feed, or the first fault that makes it none, naming its line.
struct TFeedParse {
    std::optional<TReleaseFeed> feed;
    std::string fault;
};

TFeedParse ParseReleaseFeed(std::string_view text);
// What ParseReleaseFeed reads back as the same feed, LF line ends, no BOM.
std::string FormatReleaseFeed(const TReleaseFeed& feed);
// The archive's line of the feed, without its line end.
std::string FormatFeedLine(const TFeedArchive& archive);

// What an application of the installed version (none: no description, or one that does not
// parse) downloads: nothing (null) when it has the latest version or a later one; the partial
// update made for its version, where the feed has one; else the full update.
const TFeedArchive* ChooseUpdateArchive(const TReleaseFeed& feed,
                                        const std::optional<TReleaseVersion>& installed);
