#include "release/ReleaseTool.h"

#include "core/Hex.h"
#include "core/NameDecoding.h"
#include "core/ReleaseFeed.h"
#include "core/ZipFault.h"
#include "release/ArchiveCheck.h"
#include "release/ArchiveSigning.h"
#include "release/DiskFile.h"
#include "release/InterruptCleanup.h"
#include "release/OutputTarget.h"
#include "release/ReleaseFolder.h"
#include "release/ReleasePacking.h"
#include "release/ReleasePublishing.h"
#include "release/ReproducibleZip.h"
#include "release/SigningKey.h"
#include "release/ToolError.h"

#include <fcntl.h>
#include <signal.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace {

constexpr int Success = 0;
constexpr int Refused = 1;
constexpr int UsageOrToolError = 2;

constexpr const char* HelpText =
    R"(usage: scripts/release publish --version V [--key PRIVATE.pem] [--partials N] FOLDER RELEASES
       scripts/release choose FEED [APPLICATION_DIRECTORY]
       scripts/release pack --version V [--from PREVIOUS.zip [--whole]] [--key PRIVATE.pem] FOLDER OUT.zip
       scripts/release show ARCHIVE
       scripts/release check ARCHIVE
       scripts/release sign --key PRIVATE.pem ARCHIVE
       scripts/release verify --key PUBLIC.pem ARCHIVE

Making an update: put the new version in a folder exactly as it is to be installed, an EXE or
MSI installer at its top, and keep one release folder for every version you ship. Then
  scripts/release publish --version 2.1 --key private.pem release-2.1 releases
writes releases/orvandel-2.1.zip, a partial update orvandel-2.1-from-U.zip for each of the
three newest earlier versions U there, and the feed releases/releases.txt that names them.
Upload the archives first and the feed last: the application reads the feed, downloads the
partial update made for its version or else the full one, checks its size and SHA-256, and
hands it to the updater.

publish Packs the full update orvandel-V.zip of version V from FOLDER into the release folder
        RELEASES, and for each of the N newest earlier full updates orvandel-U.zip there
        (default 3) the partial update orvandel-V-from-U.zip, as pack --from does; with --key
        all are signed. Then writes the feed RELEASES/releases.txt:
          orvandel-feed 1
          latest V
          full V orvandel-V.zip SIZE SHA256
          partial V U orvandel-V-from-U.zip SIZE SHA256
        Refuses, naming each fault and then writing nothing: a V not above the feed's latest
        version (without a feed, the newest archive's), an orvandel-*.zip whose name or release
        description say otherwise (or whose directory the updater refuses; the files are read
        only of the full updates that partial ones are made for), a feed that does not parse,
        and every fault of FOLDER that pack refuses. Every archive and then the feed is
        written under a temporary name and renamed once on the disk, so a client never reads a
        feed that names an archive not yet complete; an interrupted publish leaves the old feed
        and every archive it names as they were, and running it again makes the version anew
        over the archives it left. Same FOLDER, RELEASES and arguments: the same bytes, but for
        signatures.
choose  Prints the line of the feed FEED for the archive that an application installed in
        APPLICATION_DIRECTORY downloads (without it, one with no version): nothing to download
        when its release description says the latest version or a later one, else the partial
        update made for its version, else the full update. Names the installed version on
        standard error; a description that does not parse counts as no version.
pack    Makes the update archive OUT of version V from FOLDER, with its release description
        (orvandel-release.txt at its top, listing every file of the version). Without --from a
        full update: every file and every empty folder of FOLDER. With --from a partial update
        for the version of PREVIOUS, which must be a full update made by pack and of a lower
        version: only the files whose bytes differ from PREVIOUS's or that are new, every EXE or
        MSI file at the top (the updater installs nothing without one) and the empty folders;
        files that FOLDER no longer has are not listed, and installing the update removes them.
        A changed file comes as a patch against PREVIOUS's file (bsdiff's records, deflated)
        where its entry is smaller than the file's, and whole otherwise or above 1 GiB; --whole
        makes every file whole. The description names each patch with the SHA-256 of the file
        it applies to and of the file it makes: the updater refuses the update, changing
        nothing, where an installed file has been changed since its install, and the
        application, still at its old version, then offers the full update. Every patch is
        applied to PREVIOUS's file and must give the new bytes before OUT is written.
        With --key signed, as sign does. FOLDER is checked first: no EXE or MSI at the top, a
        name the updater refuses or that is not UTF-8, names that are one to Windows, which
        ignores case, a description of its own at the top, and symbolic links and other
        special files, which pack does not follow: put the file itself there. Then the archive
        is checked as check does. Every fault is named, one line each, and then nothing is
        written. Before any work, OUT is refused where it is PREVIOUS, the key or a file of
        FOLDER (by any name or link), anything but a regular file, or in a folder that is
        missing or takes no new files; a symbolic link OUT has the file it leads to replaced.
        OUT is written under a temporary name beside it and takes its name only once complete,
        so an interrupted run leaves OUT as it was: INT, TERM and HUP remove the temporary
        file, and one that a killed run left is named in a warning, never removed.
        The same FOLDER content and arguments give the same bytes on every machine: entries
        in the bytewise order of their UTF-8 names, each with one time (SOURCE_DATE_EPOCH
        when set, else 1980-01-01 00:00:00 UTC), fixed attributes, no extra fields but Zip64's
        where a size needs it, deflated at zlib level 9 or stored where that is no smaller.
        Only another zlib version may deflate otherwise, and a signature differs on every run
        (ECDSA takes a random nonce); the bytes it signs do not.
show    Prints what ARCHIVE's release description says, for a person: its version, full or
        made for which base version, how many files the archive holds and the version lists,
        and whether and by which key id it is signed (without the public key nothing says
        whether that signature is valid: verify does), and the files that come as patches,
        with the patch's size and the made file's. Fails when the archive has no
        description or the updater would refuse it, naming why as check does.
check   Reads ARCHIVE exactly as the updater will, through the same reader: the whole
        archive, its top level for an EXE or MSI file and for its release description, and
        every file to its end with its CRC-32 and sizes, and every patch to its end as the
        updater parses it: header, each record's lengths and seeks against the sizes, the
        made file's size; without the base version's file it cannot tell whether that file
        has the SHA-256 the patch is for, nor the made one its own. Names each patched file
        with its sizes. Prints every reason why the updater
        would refuse the archive or install nothing, one line each, a file's own faults after
        its name: no EXE or MSI at the top level, a name the updater refuses, a duplicate name,
        a damaged directory or entry, an encrypted entry or an unknown method, a CRC that does
        not match, a release description that does not parse, a file it does not list, a file
        of a full update that it lists but the archive lacks. Faults of the archive as a whole
        (its directory, names, duplicates) stop the reading: one line.
sign    Checks ARCHIVE as check does and signs it only when the updater would install it:
        writes the signature of the ECDSA P-256 private key into the archive's comment,
        replacing an earlier signature, in a copy beside ARCHIVE that is renamed over it once
        on the disk, so any failure leaves ARCHIVE as it was. Refuses an archive whose comment
        holds anything else, and any key that is not ECDSA P-256. Says which key id signed.
verify  Decides ARCHIVE's signature as an updater built with this public key would: valid,
        or no signature, malformed, unknown key, does not match.

Exit status: 0 when the update is written (pack), the release is published (publish), a line
is chosen or the version is current (choose), the updater would install the archive (show,
check), it is signed (sign) or its signature is valid (verify); 1 when it would not, publish
refuses, the feed is damaged (choose), the archive has no description (show) or the signature
is not valid; 2 for a usage error, a file or key that cannot be used, or a message that cannot
be written. Messages go to standard error, show's report and choose's line to standard output.
)";

constexpr const char* UsageLine =
    "usage: scripts/release pack|publish|choose|show|check|sign|verify ... (--help says more)";

enum class TNeed { No, May, Must };

// What each command takes besides its paths.
struct TCommandShape {
    std::string_view command;
    std::string_view paths; // as the usage names them
    TNeed key;
    TNeed version;
    TNeed from;
    TNeed partials;
};

constexpr std::array<TCommandShape, 7> CommandShapes = {{
    {"pack", "FOLDER OUT.zip", TNeed::May, TNeed::Must, TNeed::May, TNeed::No},
    {"publish", "FOLDER RELEASES", TNeed::May, TNeed::Must, TNeed::No, TNeed::May},
    {"choose", "FEED [APPLICATION_DIRECTORY]", TNeed::No, TNeed::No, TNeed::No, TNeed::No},
    {"show", "ARCHIVE", TNeed::No, TNeed::No, TNeed::No, TNeed::No},
    {"check", "ARCHIVE", TNeed::No, TNeed::No, TNeed::No, TNeed::No},
    {"sign", "ARCHIVE", TNeed::Must, TNeed::No, TNeed::No, TNeed::No},
    {"verify", "ARCHIVE", TNeed::Must, TNeed::No, TNeed::No, TNeed::No},
}};

struct TArguments {
    std::string command;
    std::optional<std::string> key;
    std::optional<std::string> version;
    std::optional<std::string> from;
    std::optional<std::string> partials;
    bool whole = false;
    std::vector<std::string> paths;
};

// A command line that is not one of the tool's, with the mistake in one line.
class CUsageError : public std::runtime_error {
public:
    explicit CUsageError(const std::string& mistake) : std::runtime_error(mistake) {}
};

void CheckOption(const TCommandShape& shape, std::string_view option, TNeed need,
                 const std::optional<std::string>& given) {
    if (need == TNeed::No && given) {
        throw CUsageError(std::string(shape.command) + " takes no " + std::string(option));
    }
    if (need == TNeed::Must && !given) {
        throw CUsageError(std::string(shape.command) + " needs " + std::string(option));
    }
}

std::size_t CountWords(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), ' ')) + 1;
}

// The words of the usage's paths that are not in brackets.
std::size_t CountNeededWords(std::string_view text) {
    return CountWords(text) - static_cast<std::size_t>(std::count(text.begin(), text.end(), '['));
}

TArguments ParseArguments(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        throw CUsageError("no command");
    }
    TArguments parsed;
    parsed.command = arguments[0];
    const auto shape =
        std::find_if(CommandShapes.begin(), CommandShapes.end(),
                     [&](const TCommandShape& known) { return known.command == parsed.command; });
    if (shape == CommandShapes.end()) {
        throw CUsageError("no command " + parsed.command);
    }
    for (std::size_t at = 1; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        std::optional<std::string>* option = argument == "--key"        ? &parsed.key
                                             : argument == "--version"  ? &parsed.version
                                             : argument == "--from"     ? &parsed.from
                                             : argument == "--partials" ? &parsed.partials
                                                                        : nullptr;
        if (argument == "--whole") {
            if (parsed.whole) {
                throw CUsageError(argument + " is given twice");
            }
            parsed.whole = true;
        } else if (option != nullptr) {
            if (option->has_value()) {
                throw CUsageError(argument + " is given twice");
            }
            if (at + 1 == arguments.size()) {
                throw CUsageError(argument + " needs a value");
            }
            *option = arguments[++at];
        } else if (argument.starts_with("-")) {
            throw CUsageError("no option " + argument);
        } else {
            parsed.paths.push_back(argument);
        }
    }
    CheckOption(*shape, "--key", shape->key, parsed.key);
    CheckOption(*shape, "--version", shape->version, parsed.version);
    CheckOption(*shape, "--from", shape->from, parsed.from);
    CheckOption(*shape, "--partials", shape->partials, parsed.partials);
    if (parsed.whole && !parsed.from) {
        throw CUsageError(parsed.command == "pack" ? "--whole needs --from: only a partial "
                                                     "update has patches to leave out"
                                                   : parsed.command + " takes no --whole");
    }
    if (parsed.paths.size() < CountNeededWords(shape->paths) ||
        parsed.paths.size() > CountWords(shape->paths)) {
        throw CUsageError(parsed.command + " takes " + std::string(shape->paths) + ", not " +
                          std::to_string(parsed.paths.size()) +
                          (parsed.paths.size() == 1 ? " path" : " paths"));
    }
    return parsed;
}

void PrintProblems(const std::vector<std::string>& problems) {
    for (const std::string& problem : problems) {
        std::cerr << problem << '\n';
    }
}

// "NAME is a patch: 1234 bytes make 567890".
std::string DescribePatchedFile(const TPatchedFile& patch) {
    return patch.name + " is a patch: " + std::to_string(patch.patchSize) + " bytes make " +
           std::to_string(patch.fileSize);
}

// Prints the check's lines; true when the updater would install the archive.
bool ReportCheck(const std::string& path) {
    const TArchiveReport report =
        CheckArchive(std::make_unique<CDiskFile>(path, CDiskFile::TAccess::Read));
    PrintProblems(report.problems);
    if (!report.IsInstallable()) {
        std::cerr << path << ": the updater would not install it\n";
        return false;
    }
    std::cerr << path << ": the updater would install it (" << report.fileCount
              << (report.fileCount == 1 ? " file)\n" : " files)\n");
    for (const TPatchedFile& patch : report.patches) {
        std::cerr << path << ": " << DescribePatchedFile(patch)
                  << ", only for the base version's own file\n";
    }
    return true;
}

// Prints the warnings and the problems of the output; true when it may be written.
bool ReportOutputCheck(const std::vector<std::string>& warnings,
                       const std::vector<std::string>& problems, const std::string& path) {
    PrintProblems(warnings);
    PrintProblems(problems);
    if (!problems.empty()) {
        std::cerr << path << ": not written\n";
    }
    return problems.empty();
}

int RunSign(const std::string& path, const std::string& keyPath) {
    const CSigningKey key(keyPath, CSigningKey::THalf::Private);
    CRunInputs inputs;
    inputs.Add(keyPath, "the signing key given with --key");
    const TOutputCheck output = CheckOutputTarget(path, inputs);
    if (!ReportOutputCheck(output.warnings, output.problems, path)) {
        return UsageOrToolError;
    }
    if (!ReportCheck(path)) {
        std::cerr << path << ": not signed\n";
        return Refused;
    }
    const TSignOutcome outcome = SignArchiveFile(path, key);
    if (outcome == TSignOutcome::Foreign) {
        std::cerr << path << ": not signed: its comment is not a signature, or data follows it\n";
        return Refused;
    }
    std::cerr << path << ": signed with key " << FormatHex(key.GetKeyId())
              << (outcome == TSignOutcome::Replaced ? ", replacing the earlier signature" : "")
              << '\n';
    return Success;
}

int RunVerify(const std::string& path, const std::string& keyPath) {
    const CSigningKey key(keyPath, CSigningKey::THalf::Public);
    const CDiskFile archive(path, CDiskFile::TAccess::Read);
    const TSignatureVerdict verdict = VerifyArchive(archive, key);
    if (verdict != TSignatureVerdict::Valid) {
        std::cerr << GetSignatureVerdictText(verdict) << '\n';
        return Refused;
    }
    std::cerr << GetSignatureVerdictText(verdict) << ", key " << FormatHex(key.GetKeyId()) << '\n';
    return Success;
}

std::string CountFiles(std::size_t count) {
    return std::to_string(count) + (count == 1 ? " file" : " files");
}

std::string DescribeSignature(const CByteSource& archive) {
    TSignatureBlock block;
    switch (ParseSignatureBlock(LocateSignedRange(archive), block)) {
    case TSignatureFault::None:
        return "signed by key " + FormatHex(block.keyId);
    case TSignatureFault::Missing:
        return "not signed";
    case TSignatureFault::Malformed:
        break;
    }
    return "signature block malformed";
}

int RunShow(const std::string& path) {
    const TArchiveReport report =
        CheckArchive(std::make_unique<CDiskFile>(path, CDiskFile::TAccess::Read));
    if (!report.IsInstallable()) {
        PrintProblems(report.problems);
        std::cerr << path << ": the updater would not install it\n";
        return Refused;
    }
    if (!report.description) {
        std::cerr << path
                  << ": holds no release description (orvandel-release.txt at its "
                     "top), so it names no version\n";
        return Refused;
    }
    const TReleaseDescription& description = *report.description;
    const std::string version = FormatReleaseVersion(description.version);
    std::cout << path << '\n'
              << "version:   " << version << '\n'
              << "update:    "
              << (description.base
                      ? "partial, made for version " + FormatReleaseVersion(*description.base) +
                            " only"
                      : "full, for any installed version up to " + version + ", or none")
              << '\n'
              << "files:     " << report.fileCount - 1 << " in the archive, of the "
              << CountFiles(description.files.size()) << " that version " << version << " lists\n"
              << "signature: " << DescribeSignature(CDiskFile(path, CDiskFile::TAccess::Read))
              << '\n';
    if (!report.patches.empty()) {
        std::cout << "patches:   " << CountFiles(report.patches.size())
                  << (report.patches.size() == 1 ? " comes as a patch" : " come as patches")
                  << ", each only for the base version's own file\n";
        for (const TPatchedFile& patch : report.patches) {
            std::cout << "           " << DescribePatchedFile(patch) << '\n';
        }
    }
    return Success;
}

// " (2 as patches: 1234 bytes make 567890)", or nothing.
std::string DescribePatches(const TPackReport& report) {
    if (report.patchedFiles == 0) {
        return "";
    }
    return " (" + std::to_string(report.patchedFiles) + " as " +
           (report.patchedFiles == 1 ? "a patch: " : "patches: ") +
           std::to_string(report.patchBytes) + " bytes make " +
           std::to_string(report.patchedFileBytes) + ")";
}

// The one time of every entry: SOURCE_DATE_EPOCH, as reproducible builds everywhere take it.
std::time_t GetPackTimestamp() {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    if (epoch == nullptr || *epoch == '\0') {
        return CReproducibleZip::EarliestTimestamp;
    }
    const std::string_view text(epoch);
    std::int64_t seconds = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds < 0) {
        throw CToolError("SOURCE_DATE_EPOCH is no whole number of seconds: " + std::string(text));
    }
    return static_cast<std::time_t>(seconds);
}

TReleaseVersion ParseVersionOption(const std::string& text) {
    const std::optional<TReleaseVersion> version = ParseReleaseVersion(text);
    if (!version) {
        throw CToolError("--version " + text + " is no version: " + std::string(VersionSpelling));
    }
    return *version;
}

std::size_t ParsePartialsOption(const std::optional<std::string>& text) {
    if (!text) {
        return DefaultPartialUpdates;
    }
    std::size_t count = 0;
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), count);
    if (text->empty() || error != std::errc() || end != text->data() + text->size() ||
        (text->size() > 1 && text->front() == '0')) {
        throw CToolError("--partials " + *text + " is no count: a whole number such as 3");
    }
    return count;
}

// The key is neither copied nor moved: it holds OpenSSL's.
void ReadPrivateKey(const std::optional<std::string>& path, std::optional<CSigningKey>& key) {
    if (path) {
        key.emplace(*path, CSigningKey::THalf::Private);
    }
}

// What pack made at the output, one line, and the key that signed it.
void ReportPacked(const std::string& output, const TPackReport& report, const CSigningKey* key) {
    const std::string listed = CountFiles(report.description.files.size());
    std::cerr << output << ": version " << FormatReleaseVersion(report.description.version);
    if (report.description.base) {
        const std::string base = FormatReleaseVersion(*report.description.base);
        std::cerr << ", a partial update for version " << base << ": " << report.packedFiles
                  << " of its " << listed << DescribePatches(report) << ", " << report.archiveSize
                  << " bytes; installing it removes " << CountFiles(report.droppedFiles)
                  << " of version " << base << '\n';
    } else {
        std::cerr << ", a full update: " << listed << ", " << report.archiveSize << " bytes\n";
    }
    if (key != nullptr) {
        std::cerr << output << ": signed with key " << FormatHex(key->GetKeyId()) << '\n';
    }
}

int RunPack(const TArguments& arguments) {
    std::optional<CSigningKey> key;
    ReadPrivateKey(arguments.key, key);
    TPackRequest request;
    request.folder = arguments.paths[0];
    request.output = arguments.paths[1];
    request.version = ParseVersionOption(*arguments.version);
    request.previous = arguments.from;
    request.whole = arguments.whole;
    request.key = key ? &*key : nullptr;
    request.timestamp = GetPackTimestamp();
    const TPackReport report = PackRelease(request);
    const std::string& output = request.output;
    if (!ReportOutputCheck(report.warnings, report.outputProblems, output)) {
        return UsageOrToolError;
    }
    if (!report.problems.empty()) {
        PrintProblems(report.problems);
        std::cerr << output << ": not written\n";
        return Refused;
    }
    ReportPacked(output, report, request.key);
    return Success;
}

int RunPublish(const TArguments& arguments) {
    TPublishRequest request;
    request.version = ParseVersionOption(*arguments.version);
    request.partials = ParsePartialsOption(arguments.partials);
    std::optional<CSigningKey> key;
    ReadPrivateKey(arguments.key, key);
    request.folder = arguments.paths[0];
    request.releases = arguments.paths[1];
    request.key = key ? &*key : nullptr;
    request.timestamp = GetPackTimestamp();
    const TPublishReport report = PublishRelease(request);
    PrintProblems(report.warnings);
    if (!report.problems.empty()) {
        PrintProblems(report.problems);
        std::cerr << request.releases << ": nothing published\n";
        return Refused;
    }
    for (const auto& [path, packed] : report.archives) {
        ReportPacked(path, packed, request.key);
    }
    std::cerr << report.feedPath << ": offers version " << FormatReleaseVersion(request.version)
              << ": its full update and " << report.feed->partials.size()
              << (report.feed->partials.size() == 1 ? " partial update\n" : " partial updates\n");
    return Success;
}

// The version of the application directory as the updater sees it: its description's, or
// none where it has none or one that does not parse. Says which on standard error.
std::optional<TReleaseVersion> ReadInstalledVersion(const std::string& directory) {
    const std::optional<std::vector<std::string>> names = ListFolder(directory);
    if (!names) {
        ThrowFileError("cannot list", directory);
    }
    const auto found = std::find_if(names->begin(), names->end(), [](const std::string& name) {
        const std::optional<std::u16string> decoded = DecodeUtf8(name);
        return decoded && IsReleaseDescriptionName(*decoded);
    });
    if (found == names->end()) {
        std::cerr << directory << ": no release description, so no version the feed knows\n";
        return std::nullopt;
    }
    const std::string path = directory + "/" + *found;
    const TReleaseParse parse =
        ParseReleaseDescription(ReadFileStart(path, LargestReleaseDescription + 1));
    if (!parse.description) {
        std::cerr << path << ": does not parse (" << parse.fault
                  << "), so the installed version is unknown\n";
        return std::nullopt;
    }
    std::cerr << directory << ": version " << FormatReleaseVersion(parse.description->version)
              << " installed\n";
    return parse.description->version;
}

int RunChoose(const TArguments& arguments) {
    const std::string& feedPath = arguments.paths[0];
    const TFeedParse parse = ReadReleaseFeedFile(feedPath);
    if (!parse.feed) {
        std::cerr << feedPath << ": a damaged feed: " << parse.fault << '\n';
        return Refused;
    }
    const std::optional<TReleaseVersion> installed =
        arguments.paths.size() == 2 ? ReadInstalledVersion(arguments.paths[1]) : std::nullopt;
    const TFeedArchive* chosen = ChooseUpdateArchive(*parse.feed, installed);
    if (chosen == nullptr) {
        std::cout << "current: version " << FormatReleaseVersion(*installed)
                  << " is installed, the feed's latest is "
                  << FormatReleaseVersion(parse.feed->latest) << '\n';
    } else {
        std::cout << FormatFeedLine(*chosen) << '\n';
    }
    return Success;
}

int RunCommand(const TArguments& arguments) {
    const std::string& path = arguments.paths.front();
    if (arguments.command == "pack") {
        return RunPack(arguments);
    }
    if (arguments.command == "publish") {
        return RunPublish(arguments);
    }
    if (arguments.command == "choose") {
        return RunChoose(arguments);
    }
    if (arguments.command == "show") {
        return RunShow(path);
    }
    if (arguments.command == "check") {
        return ReportCheck(path) ? Success : Refused;
    }
    if (arguments.command == "sign") {
        return RunSign(path, *arguments.key);
    }
    return RunVerify(path, *arguments.key);
}

// The tool's answer to its arguments, as its exit status.
int RunArguments(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            std::cout << HelpText;
            return Success;
        }
    }
    TArguments parsed;
    try {
        parsed = ParseArguments(arguments);
    } catch (const CUsageError& mistake) {
        std::cerr << "usage error: " << mistake.what() << '\n' << UsageLine << '\n';
        return UsageOrToolError;
    }
    try {
        return RunCommand(parsed);
    } catch (const CZipException& fault) {
        std::cerr << parsed.paths.front() << ": " << fault.GetReason() << '\n';
        return Refused;
    } catch (const std::exception& fault) {
        std::cerr << "error: " << fault.what() << '\n';
        return UsageOrToolError;
    }
}

// A standard descriptor that the caller closed would be the next file the tool opens, and its
// messages would go into that archive. Each closed one is taken for the whole run by /dev/null,
// opened for reading only, so that a message written there still fails.
void ReserveStandardDescriptors() {
    for (int descriptor = 0; descriptor <= 2; ++descriptor) {
        if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor: this one, since those below it are open.
            static_cast<void>(open("/dev/null", O_RDONLY));
        }
    }
}

} // namespace

int RunReleaseTool(const std::vector<std::string>& arguments) {
    ReserveStandardDescriptors();
    // A reader that went away is a failed write, answered with the status of one.
    signal(SIGPIPE, SIG_IGN);
    RemoveTemporaryFilesOnInterrupt();
    const int status = RunArguments(arguments);
    // A message that did not reach its reader fails the run, whatever the command's outcome.
    std::cout.flush();
    return std::cout.good() && std::cerr.good() ? status : UsageOrToolError;
}
