#include "release/ArchiveNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(ArchiveNames, ReadBackWhatTheyFormatAndNothingSpeltOtherwise) {
    for (const char* name : {"orvandel-2.1.zip", "orvandel-0.zip", "orvandel-2.1-from-2.0.zip",
                             "orvandel-65535.0.0.1-from-1.2.3.4.zip", "orvandel-3-from-0.zip"}) {
        const std::optional<TArchiveName> parsed = ParseArchiveName(name);
        ASSERT_TRUE(parsed) << name;
        EXPECT_EQ(FormatArchiveName(*parsed), name);
        EXPECT_TRUE(IsPublishedArchiveName(name));
    }
    const std::optional<TArchiveName> partial = ParseArchiveName("orvandel-2.1-from-2.0.zip");
    ASSERT_TRUE(partial && partial->base);
    EXPECT_EQ(FormatReleaseVersion(partial->version), "2.1");
    EXPECT_EQ(FormatReleaseVersion(*partial->base), "2.0");
    EXPECT_FALSE(ParseArchiveName("orvandel-2.1.zip")->base);

    // Publish's own pattern, but not what publish writes: refused by name, so never taken for an
    // earlier release.
    for (const char* name :
         {"orvandel-beta.zip", "orvandel-02.1.zip", "orvandel-2.1-from-.zip", "orvandel--2.zip",
          "orvandel-2.1-from-2.0-from-1.0.zip", "orvandel-2.1-to-2.0.zip", "orvandel-2.1 .zip",
          "orvandel-1.2.3.4.5.zip", "orvandel-65536.zip", "orvandel-.zip.zip"}) {
        EXPECT_TRUE(IsPublishedArchiveName(name)) << name;
        EXPECT_FALSE(ParseArchiveName(name)) << name;
    }
    // Not publish's at all: another vendor's files and the temporary files of a run.
    for (const char* name : {"orvandel-.zip", "Orvandel-2.1.zip", "orvandel-2.1.ZIP",
                             "orvandel-2.1.zip.incomplete-Ab12Cd", "releases.txt", "setup.zip"}) {
        EXPECT_FALSE(IsPublishedArchiveName(name)) << name;
        EXPECT_FALSE(ParseArchiveName(name)) << name;
    }
}
