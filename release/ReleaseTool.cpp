#include "release/ReleaseTool.h"

#include "release/ArchiveCheck.h"
#include "release/ArchiveSigning.h"
#include "release/DiskFile.h"
#include "release/SigningKey.h"
#include "release/ToolError.h"
#include "zip/core/ZipFault.h"

#include <iostream>
#include <optional>

namespace {

constexpr int Success = 0;
constexpr int Refused = 1;
constexpr int UsageOrToolError = 2;

constexpr const char* HelpText =
    R"(usage: scripts/release check ARCHIVE
       scripts/release sign --key PRIVATE.pem ARCHIVE
       scripts/release verify --key PUBLIC.pem ARCHIVE

check   Reads ARCHIVE exactly as the updater will, through the same reader: the whole
        archive, its top level for an EXE or MSI file, and every file to its end with its
        CRC-32 and sizes. Prints every reason why the updater would refuse the archive or
        install nothing, one line each, a file's own faults after its name: no EXE or MSI at
        the top level, a name the updater refuses, a duplicate name, a damaged directory or
        entry, an encrypted entry or an unknown method, a CRC that does not match. Faults of
        the archive as a whole (its directory, names, duplicates) stop the reading: one line.
sign    Checks ARCHIVE as check does and signs it only when the updater would install it:
        writes the signature of the ECDSA P-256 private key into the archive's comment, in
        place, replacing an earlier signature. Refuses an archive whose comment holds
        anything else, and any key that is not ECDSA P-256. Says which key id signed.
verify  Decides ARCHIVE's signature as an updater built with this public key would: valid,
        or no signature, malformed, unknown key, does not match.

Exit status: 0 when the updater would install the archive (check), it is signed (sign) or its
signature is valid (verify); 1 when it would not, or the signature is not valid; 2 for a usage
error or a file or key that cannot be used. Messages go to standard error.
)";

struct TArguments {
    std::string command;
    std::optional<std::string> key;
    std::vector<std::string> archives;
};

// Empty when the arguments make no command line of the tool.
std::optional<TArguments> ParseArguments(const std::vector<std::string>& arguments) {
    if (arguments.empty()) {
        return std::nullopt;
    }
    TArguments parsed;
    parsed.command = arguments[0];
    for (std::size_t at = 1; at < arguments.size(); ++at) {
        if (arguments[at] == "--key") {
            if (parsed.key || at + 1 == arguments.size()) {
                return std::nullopt;
            }
            parsed.key = arguments[++at];
        } else if (arguments[at].starts_with("-")) {
            return std::nullopt;
        } else {
            parsed.archives.push_back(arguments[at]);
        }
    }
    const bool needsKey = parsed.command == "sign" || parsed.command == "verify";
    if ((!needsKey && parsed.command != "check") || parsed.archives.size() != 1 ||
        parsed.key.has_value() != needsKey) {
        return std::nullopt;
    }
    return parsed;
}

// Prints the check's lines; true when the updater would install the archive.
bool ReportCheck(const std::string& path) {
    const TArchiveReport report =
        CheckArchive(std::make_unique<CDiskFile>(path, CDiskFile::TAccess::Read));
    for (const std::string& problem : report.problems) {
        std::cerr << problem << '\n';
    }
    if (!report.IsInstallable()) {
        std::cerr << path << ": the updater would not install it\n";
        return false;
    }
    std::cerr << path << ": the updater would install it (" << report.fileCount
              << (report.fileCount == 1 ? " file)\n" : " files)\n");
    return true;
}

int RunSign(const std::string& path, const std::string& keyPath) {
    const CSigningKey key(keyPath, CSigningKey::THalf::Private);
    if (!ReportCheck(path)) {
        std::cerr << path << ": not signed\n";
        return Refused;
    }
    CDiskFile archive(path, CDiskFile::TAccess::ReadWrite);
    const TSignOutcome outcome = SignArchive(archive, key);
    if (outcome == TSignOutcome::Foreign) {
        std::cerr << path << ": not signed: its comment is not a signature, or data follows it\n";
        return Refused;
    }
    std::cerr << path << ": signed with key " << FormatKeyId(key.GetKeyId())
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
    std::cerr << GetSignatureVerdictText(verdict) << ", key " << FormatKeyId(key.GetKeyId())
              << '\n';
    return Success;
}

int RunCommand(const TArguments& arguments) {
    const std::string& archive = arguments.archives.front();
    if (arguments.command == "check") {
        return ReportCheck(archive) ? Success : Refused;
    }
    if (arguments.command == "sign") {
        return RunSign(archive, *arguments.key);
    }
    return RunVerify(archive, *arguments.key);
}

} // namespace

int RunReleaseTool(const std::vector<std::string>& arguments) {
    for (const std::string& argument : arguments) {
        if (argument == "--help" || argument == "-h") {
            std::cout << HelpText;
            return Success;
        }
    }
    const std::optional<TArguments> parsed = ParseArguments(arguments);
    if (!parsed) {
        std::cerr << "usage: scripts/release check|sign|verify [--key KEY.pem] ARCHIVE "
                     "(--help says more)\n";
        return UsageOrToolError;
    }
    try {
        return RunCommand(*parsed);
    } catch (const CZipException& fault) {
        std::cerr << parsed->archives.front() << ": " << fault.GetReason() << '\n';
        return Refused;
    } catch (const std::exception& fault) {
        std::cerr << "error: " << fault.what() << '\n';
        return UsageOrToolError;
    }
}
