#include "core/ReleaseFeed.h"

#include "core/CaseFolding.h"
#include "core/Hex.h"
#include "core/NameDecoding.h"
#include "core/NameScreen.h"
#include "core/TextLines.h"

#include <unordered_set>

namespace {

constexpr std::string_view FormatLine = "orvandel-feed 1";
constexpr std::string_view FormatKey = "orvandel-feed";
constexpr std::string_view LatestKey = "latest";
constexpr std::string_view FullKey = "full";
constexpr std::string_view PartialKey = "partial";
constexpr std::size_t FullFields = 5;
constexpr std::size_t PartialFields = 6;

std::vector<std::string_view> SplitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t blank = line.find(' ');
        fields.push_back(line.substr(0, blank));
        if (blank == std::string_view::npos) {
            return fields;
        }
        line.remove_prefix(blank + 1);
    }
}

class CFeedParser : public CLineParser {
public:
    TFeedParse Parse(std::string_view text) {
        if (text.size() > LargestReleaseFeed) {
            std::string fault = "larger than ";
            fault += std::to_string(LargestReleaseFeed / (1024 * 1024));
            fault += " MiB";
            return {std::nullopt, fault};
        }
        if (!TakeLines(text)) {
            return {std::nullopt, GetFault()};
        }
        if (GetLineNumber() == 0) {
            return {std::nullopt, "empty"};
        }
        if (!m_latest) {
            return {std::nullopt, "no latest line"};
        }
        if (!m_hasFull) {
            return {std::nullopt, "no full update of the latest version"};
        }
        return {std::move(m_feed), {}};
    }

private:
    bool TakeLine(std::string_view line) override {
        if (GetLineNumber() == 1) {
            return line == FormatLine || RefuseFormatLine(line, FormatKey, "a release feed");
        }
        const std::vector<std::string_view> fields = SplitFields(line);
        const std::string_view key = fields.front();
        if (key == LatestKey) {
            if (m_latest) {
                return Refuse("a second latest line");
            }
            if (fields.size() != 2) {
                return Refuse("latest takes one version");
            }
            return TakeVersion(fields[1], m_feed.latest) && Reach();
        }
        if (key != FullKey && key != PartialKey) {
            return Refuse("unknown key " + Quoted(key));
        }
        if (!m_latest) {
            return Refuse(std::string(key) + " before the latest line");
        }
        const bool partial = key == PartialKey;
        if (fields.size() != (partial ? PartialFields : FullFields)) {
            return Refuse(partial ? "partial takes VERSION BASE NAME SIZE SHA256"
                                  : "full takes VERSION NAME SIZE SHA256");
        }
        if (partial && !m_hasFull) {
            return Refuse("partial before the full update");
        }
        if (!partial && m_hasFull) {
            return Refuse("a second full update");
        }
        TFeedArchive archive;
        if (!TakeVersion(fields[1], archive.version)) {
            return false;
        }
        if (archive.version != m_feed.latest) {
            return Refuse("version " + FormatReleaseVersion(archive.version) +
                          " is not the latest, " + FormatReleaseVersion(m_feed.latest));
        }
        std::size_t at = 2;
        if (partial && !TakeBase(fields[at++], archive)) {
            return false;
        }
        if (!TakeName(fields[at], archive.name) || !TakeSize(fields[at + 1], archive.size) ||
            !TakeSha256(fields[at + 2], archive.sha256)) {
            return false;
        }
        if (partial) {
            m_feed.partials.push_back(std::move(archive));
        } else {
            m_feed.full = std::move(archive);
            m_hasFull = true;
        }
        return true;
    }

    bool Reach() {
        m_latest = true;
        return true;
    }

    bool TakeBase(std::string_view text, TFeedArchive& archive) {
        archive.base.emplace();
        if (!TakeVersion(text, *archive.base)) {
            return false;
        }
        if (!(*archive.base < m_feed.latest)) {
            return Refuse("base " + FormatReleaseVersion(*archive.base) +
                          " is not below the latest version");
        }
        // Compared as versions: 2.0 and 2.0.0 are one base.
        for (const TFeedArchive& earlier : m_feed.partials) {
            if (earlier.base == archive.base) {
                return Refuse("a second partial update for base " +
                              FormatReleaseVersion(*archive.base));
            }
        }
        return true;
    }

    bool TakeName(std::string_view text, std::u16string& name) {
        const std::optional<std::u16string> decoded = DecodeUtf8(text);
        if (!decoded) {
            return Refuse("the name is not valid UTF-8");
        }
        const TScreenedPath screened = ScreenEntryName(*decoded);
        if (screened.fault != TNameFault::None) {
            return Refuse(Quoted(text) +
                          " is a name the updater refuses: " + DescribeRefusal(screened, *decoded));
        }
        // Only a name the screen leaves as it is: "./a.zip" or "a\b.zip" is no plain file name.
        if (screened.path != *decoded || screened.path.find(u'/') != std::u16string::npos) {
            return Refuse(Quoted(text) + " is no plain file name beside the feed");
        }
        if (!m_names.insert(FoldCase(screened.path)).second) {
            return Refuse(Quoted(text) + " is named twice");
        }
        name = screened.path;
        return true;
    }

    bool TakeSize(std::string_view text, std::uint64_t& size) {
        // No archive is empty.
        const std::optional<std::uint64_t> parsed = ParseDecimalSize(text);
        if (!parsed || *parsed == 0) {
            return Refuse(Quoted(text) + " is no size: decimal bytes, at least 1, no leading zero");
        }
        size = *parsed;
        return true;
    }

    TReleaseFeed m_feed;
    bool m_latest = false;
    bool m_hasFull = false;
    std::unordered_set<std::u16string> m_names;
};

} // namespace

TFeedParse ParseReleaseFeed(std::string_view text) {
    return CFeedParser().Parse(text);
}

std::string FormatFeedLine(const TFeedArchive& archive) {
    std::string line = std::string(archive.base ? PartialKey : FullKey) + ' ' +
                       FormatReleaseVersion(archive.version) + ' ';
    if (archive.base) {
        line += FormatReleaseVersion(*archive.base) + ' ';
    }
    line += EncodeUtf8(archive.name) + ' ' + std::to_string(archive.size) + ' ' +
            FormatHex(archive.sha256);
    return line;
}

std::string FormatReleaseFeed(const TReleaseFeed& feed) {
    std::string text = std::string(FormatLine) + '\n';
    text += std::string(LatestKey) + ' ' + FormatReleaseVersion(feed.latest) + '\n';
    text += FormatFeedLine(feed.full) + '\n';
    for (const TFeedArchive& partial : feed.partials) {
        text += FormatFeedLine(partial) + '\n';
    }
    return text;
}

const TFeedArchive* ChooseUpdateArchive(const TReleaseFeed& feed,
                                        const std::optional<TReleaseVersion>& installed) {
    if (installed && *installed >= feed.latest) {
        return nullptr;
    }
    if (installed) {
        for (const TFeedArchive& partial : feed.partials) {
            if (partial.base == installed) {
                return &partial;
            }
        }
    }
    return &feed.full;
}
