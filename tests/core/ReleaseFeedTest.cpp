#include "core/ReleaseFeed.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

const std::string Hash1(64, 'a');
const std::string Hash2 = std::string(63, '0') + "f";
const std::string Head = "orvandel-feed 1\nlatest 2.1\n";
const std::string Full = "full 2.1 orvandel-2.1.zip 12345678 " + Hash1 + "\n";

TReleaseVersion Version(std::string_view text) {
    const std::optional<TReleaseVersion> version = ParseReleaseVersion(text);
    EXPECT_TRUE(version) << text;
    return version.value_or(TReleaseVersion());
}

TReleaseFeed Parsed(const std::string& text) {
    TFeedParse parse = ParseReleaseFeed(text);
    EXPECT_TRUE(parse.feed) << parse.fault;
    return parse.feed.value_or(TReleaseFeed());
}

std::string Partial(const std::string& base, const std::string& name = "") {
    return "partial 2.1 " + base + " " +
           (name.empty() ? "orvandel-2.1-from-" + base + ".zip" : name) + " 234567 " + Hash2 + "\n";
}

} // namespace

TEST(ReleaseFeed, ReadsWhatItWritesAndTheLeniencesOfTheDescriptionsStyle) {
    const TReleaseFeed feed = Parsed(Head + Full + Partial("2.0") + Partial("1.9"));
    EXPECT_EQ(FormatReleaseVersion(feed.latest), "2.1");
    EXPECT_EQ(feed.full.name, u"orvandel-2.1.zip");
    EXPECT_EQ(feed.full.size, 12345678u);
    EXPECT_FALSE(feed.full.base);
    EXPECT_EQ(feed.full.sha256[31], 0xaa);
    ASSERT_EQ(feed.partials.size(), 2u);
    EXPECT_EQ(feed.partials[0].base, Version("2.0"));
    EXPECT_EQ(feed.partials[1].name, u"orvandel-2.1-from-1.9.zip");
    EXPECT_EQ(feed.partials[1].sha256[31], 0x0f);
    EXPECT_EQ(FormatReleaseFeed(feed), Head + Full + Partial("2.0") + Partial("1.9"));
    EXPECT_EQ(FormatFeedLine(feed.partials[0]) + "\n", Partial("2.0"));

    // A BOM, CR LF line ends and a last line without its end; a feed of the full update alone.
    std::string windows = "\xEF\xBB\xBF";
    for (const char character : Head + Full) {
        if (character == '\n') {
            windows += '\r';
        }
        windows += character;
    }
    windows.resize(windows.size() - 2);
    EXPECT_EQ(Parsed(windows), Parsed(Head + Full));
    EXPECT_TRUE(Parsed(Head + Full).partials.empty());
    // The version is compared, not its spelling; a name of any letters the screen passes.
    EXPECT_EQ(
        Parsed("orvandel-feed 1\nlatest 2.1\nfull 2.1.0 \xC3\xA9t\xC3\xA9.zip 1 " + Hash1 + "\n")
            .full.name,
        u"\u00e9t\u00e9.zip");
}

TEST(ReleaseFeed, RefusesEveryOtherLineNamingIt) {
    const std::string big(LargestReleaseFeed + 1 - Head.size() - Full.size(), 'x');
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "empty"},
        {"orvandel-feed 1\n", "no latest line"},
        {Head, "no full update of the latest version"},
        {Head + Partial("2.0"), "line 3: partial before the full update"},
        {"orvandel-feed 2\nlatest 2.1\n" + Full, "line 1: a format this reader does not know"},
        {"orvandel-release 1\nlatest 2.1\n" + Full, "line 1: not a release feed"},
        {"\n" + Head + Full, "line 1: empty"},
        {Head + "\n" + Full, "line 3: empty"},
        {Head + Full + "\n\n", "line 4: empty"},
        {Head + "latest 2.1\n" + Full, "line 3: a second latest line"},
        {"orvandel-feed 1\n" + Full, "line 2: full before the latest line"},
        {"orvandel-feed 1\nlatest\n" + Full, "line 2: latest takes one version"},
        {"orvandel-feed 1\nlatest 2.1 \n" + Full, "line 2: latest takes one version"},
        {"orvandel-feed 1\nlatest 02.1\n" + Full, "line 2: \"02.1\" is no version: one to four "
                                                  "parts of 0 to 65535, such as 2.1"},
        {Head + "version 2.1\n", "line 3: unknown key \"version\""},
        {Head + Full + Full, "line 4: a second full update"},
        {Head + "full 2.0 orvandel-2.0.zip 1 " + Hash1 + "\n",
         "line 3: version 2.0 is not the latest, 2.1"},
        {Head + Full + "partial 2.2 2.0 a.zip 1 " + Hash1 + "\n",
         "line 4: version 2.2 is not the latest, 2.1"},
        {Head + "full 2.1 orvandel-2.1.zip 1\n", "line 3: full takes VERSION NAME SIZE SHA256"},
        {Head + "full 2.1  orvandel-2.1.zip 1 " + Hash1 + "\n",
         "line 3: full takes VERSION NAME SIZE SHA256"},
        {Head + "full 2.1 my app.zip 1 " + Hash1 + "\n",
         "line 3: full takes VERSION NAME SIZE SHA256"},
        {Head + Full + "partial 2.1 orvandel-2.1-from-2.0.zip 1 " + Hash1 + "\n",
         "line 4: partial takes VERSION BASE NAME SIZE SHA256"},
        {Head + Full + Partial("2.1"), "line 4: base 2.1 is not below the latest version"},
        {Head + Full + Partial("3.0"), "line 4: base 3.0 is not below the latest version"},
        {Head + Full + Partial("2.0") + Partial("2.0.0", "other.zip"),
         "line 5: a second partial update for base 2.0.0"},
        {Head + Full + Partial("2.0", "ORVANDEL-2.1.ZIP"),
         "line 4: \"ORVANDEL-2.1.ZIP\" is named twice"},
        {Head + "full 2.1 ../orvandel-2.1.zip 1 " + Hash1 + "\n",
         "line 3: \"../orvandel-2.1.zip\" is a name the updater refuses: \"..\" is a name that "
         "stands for a folder itself or its parent (. or ..)"},
        {Head + "full 2.1 updates/orvandel-2.1.zip 1 " + Hash1 + "\n",
         "line 3: \"updates/orvandel-2.1.zip\" is no plain file name beside the feed"},
        {Head + "full 2.1 updates\\orvandel-2.1.zip 1 " + Hash1 + "\n",
         "line 3: \"updates\\orvandel-2.1.zip\" is no plain file name beside the feed"},
        {Head + "full 2.1 ./orvandel-2.1.zip 1 " + Hash1 + "\n",
         "line 3: \"./orvandel-2.1.zip\" is no plain file name beside the feed"},
        {Head + "full 2.1 \xFF.zip 1 " + Hash1 + "\n", "line 3: the name is not valid UTF-8"},
        {Head + "full 2.1 a.zip 0 " + Hash1 + "\n",
         "line 3: \"0\" is no size: decimal bytes, at least 1, no leading zero"},
        {Head + "full 2.1 a.zip 012 " + Hash1 + "\n",
         "line 3: \"012\" is no size: decimal bytes, at least 1, no leading zero"},
        {Head + "full 2.1 a.zip +12 " + Hash1 + "\n",
         "line 3: \"+12\" is no size: decimal bytes, at least 1, no leading zero"},
        {Head + "full 2.1 a.zip 18446744073709551616 " + Hash1 + "\n",
         "line 3: \"18446744073709551616\" is no size: decimal bytes, at least 1, no leading "
         "zero"},
        {Head + "full 2.1 a.zip 1 " + std::string(64, 'A') + "\n",
         "line 3: \"" + std::string(64, 'A') + "\" is no SHA-256: 64 lower-case hex digits"},
        {Head + "full 2.1 a.zip 1 " + Hash1.substr(1) + "\n",
         "line 3: \"" + Hash1.substr(1) + "\" is no SHA-256: 64 lower-case hex digits"},
        {Head + Full + big, "larger than 1 MiB"},
    };
    for (const auto& [text, fault] : cases) {
        const TFeedParse parse = ParseReleaseFeed(text);
        EXPECT_FALSE(parse.feed) << text;
        EXPECT_EQ(parse.fault, fault) << text;
    }
    // Exactly at the limit is a size, not a fault: the rest is a name's fault.
    const std::string atLimit = Head + Full + big.substr(1);
    EXPECT_EQ(ParseReleaseFeed(atLimit).fault, "line 4: unknown key \"" + big.substr(1) + "\"");
}

TEST(ReleaseFeed, ChoosesNothingThePartialForTheInstalledVersionOrTheFull) {
    const TReleaseFeed feed = Parsed(Head + Full + Partial("2.0") + Partial("1.9"));
    const std::vector<std::pair<std::optional<TReleaseVersion>, const TFeedArchive*>> cases = {
        {std::nullopt, &feed.full},
        {Version("1.8"), &feed.full},
        {Version("2.0.1"), &feed.full},
        {Version("1.9"), &feed.partials[1]},
        {Version("2.0"), &feed.partials[0]},
        {Version("2.0.0.0"), &feed.partials[0]},
        {Version("2.1"), nullptr},
        {Version("2.1.0"), nullptr},
        {Version("3"), nullptr},
    };
    for (const auto& [installed, chosen] : cases) {
        EXPECT_EQ(ChooseUpdateArchive(feed, installed), chosen)
            << (installed ? FormatReleaseVersion(*installed) : "none");
    }
}
