#include "install/InstallJournal.h"

#include "common/Errors.h"
#include "common/FileHelpers.h"
#include "common/TextHelpers.h"

#include <array>
#include <charconv>
#include <optional>
#include <string>

namespace {

constexpr std::string_view Header = "Orvandel Updater journal";
constexpr std::string_view LineBreak = "\r\n";
constexpr char FieldSeparator = '\t';

constexpr std::string_view ApplicationKeyword = "application";
constexpr std::string_view ExtractionKeyword = "extraction";
constexpr std::string_view StageKeyword = "stage";
constexpr std::string_view PlanKeyword = "plan";
constexpr std::string_view PlanUnit = " steps";
// Lines wait in memory until this much is pending, or until the next stage.
constexpr std::size_t LargestPending = 64 * 1024;

constexpr std::array<std::pair<TJournalStage, std::string_view>, 4> StageNames = {{
    {TJournalStage::Unpacking, "unpacking"},
    {TJournalStage::Installing, "installing"},
    {TJournalStage::RemovingBackups, "removing backups"},
    {TJournalStage::RollingBack, "rolling back"},
}};

constexpr std::array<std::pair<TJournalStep, std::string_view>, 7> StepNames = {{
    {TJournalStep::Folder, "folder"},
    {TJournalStep::Backup, "backup"},
    {TJournalStep::Aside, "aside"},
    {TJournalStep::Replace, "replace"},
    {TJournalStep::Add, "add"},
    {TJournalStep::Remove, "remove"},
    {TJournalStep::Prune, "prune"},
}};

template <class Key, std::size_t Count>
std::string_view NameOf(const std::array<std::pair<Key, std::string_view>, Count>& names, Key key) {
    for (const auto& [candidate, name] : names) {
        if (candidate == key) {
            return name;
        }
    }
    return {};
}

template <class Key, std::size_t Count>
std::optional<Key> KeyOf(const std::array<std::pair<Key, std::string_view>, Count>& names,
                         std::string_view name) {
    for (const auto& [key, candidate] : names) {
        if (candidate == name) {
            return key;
        }
    }
    return std::nullopt;
}

std::optional<TJournalLine> ParseLine(std::string_view line) {
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view keyword = line.substr(0, blank);
    const std::string_view rest = line.substr(blank + 1);
    TJournalLine parsed;
    if (keyword == StageKeyword) {
        const std::optional<TJournalStage> stage = KeyOf(StageNames, rest);
        if (!stage) {
            return std::nullopt;
        }
        parsed.kind = TJournalLine::TKind::Stage;
        parsed.stage = *stage;
        return parsed;
    }
    if (keyword == PlanKeyword) {
        const std::string_view count = rest.substr(0, rest.find(' '));
        const auto [end, error] =
            std::from_chars(count.data(), count.data() + count.size(), parsed.planned);
        if (error != std::errc() || end != count.data() + count.size() ||
            rest.substr(count.size()) != PlanUnit) {
            return std::nullopt;
        }
        parsed.kind = TJournalLine::TKind::Plan;
        return parsed;
    }
    if (keyword == ApplicationKeyword || keyword == ExtractionKeyword) {
        parsed.kind = keyword == ApplicationKeyword ? TJournalLine::TKind::Application
                                                    : TJournalLine::TKind::Extraction;
        parsed.path = rest;
        return parsed;
    }
    const std::optional<TJournalStep> step = KeyOf(StepNames, keyword);
    if (!step) {
        return std::nullopt;
    }
    parsed.step = *step;
    const std::size_t separator = rest.find(FieldSeparator);
    parsed.path = rest.substr(0, separator);
    if (separator != std::string_view::npos) {
        parsed.second = rest.substr(separator + 1);
    }
    if ((*step == TJournalStep::Aside || *step == TJournalStep::Remove) && parsed.second.empty()) {
        return std::nullopt;
    }
    return parsed;
}

} // namespace

std::string_view GetStageName(TJournalStage stage) {
    return NameOf(StageNames, stage);
}

CInstallJournal::CInstallJournal(const std::wstring& path, DWORD disposition) : m_path(path) {
    const DWORD access = disposition == CREATE_NEW ? GENERIC_WRITE : FILE_APPEND_DATA;
    m_file.Reset(CreateFileW(ToExtendedLengthPath(path).c_str(), access, FILE_SHARE_READ, nullptr,
                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!m_file.IsValid()) {
        ThrowWriteError();
    }
}

CInstallJournal CInstallJournal::Start(const std::wstring& path,
                                       const std::wstring& applicationDirectory,
                                       const std::wstring& extractionFolder) {
    CInstallJournal journal(path, CREATE_NEW);
    journal.Append(Header);
    journal.Append(ApplicationKeyword, ToUtf8(applicationDirectory));
    journal.Append(ExtractionKeyword, ToUtf8(extractionFolder));
    // Only this one folder is left to remove if the run dies while unpacking; losing the line
    // to a power cut would leave it in the temporary directory for good.
    journal.WritePending();
    journal.Flush();
    return journal;
}

// A line that a dying writer cut short ends where the next one begins.
CInstallJournal CInstallJournal::Continue(const std::wstring& path) {
    CInstallJournal journal(path, OPEN_EXISTING);
    journal.m_pending = LineBreak;
    return journal;
}

void CInstallJournal::RecordStage(TJournalStage stage) {
    if (stage == TJournalStage::Installing) {
        Append(PlanKeyword, std::to_string(m_planned) + std::string(PlanUnit));
    }
    Append(StageKeyword, GetStageName(stage));
    WritePending();
    Flush();
}

void CInstallJournal::RecordStep(TJournalStep step, const std::wstring& path,
                                 const std::wstring& second) {
    Append(NameOf(StepNames, step), ToUtf8(path), ToUtf8(second));
    ++m_planned;
    if (m_pending.size() >= LargestPending) {
        WritePending();
    }
}

void CInstallJournal::Append(std::string_view keyword, std::string_view first,
                             std::string_view second) {
    m_pending += keyword;
    if (!first.empty()) {
        m_pending += ' ';
        m_pending += first;
    }
    if (!second.empty()) {
        m_pending += FieldSeparator;
        m_pending += second;
    }
    m_pending += LineBreak;
}

// A line handed to the system whole is never seen half by a reader after a kill; one cut by a
// kill between two writes has no line break and is passed over.
void CInstallJournal::WritePending() {
    DWORD written = 0;
    if (!PassDiskChangeGate(TDiskChange::Write) ||
        !WriteFile(m_file.Get(), m_pending.data(), static_cast<DWORD>(m_pending.size()), &written,
                   nullptr) ||
        written != m_pending.size()) {
        ThrowWriteError();
    }
    m_pending.clear();
}

void CInstallJournal::Flush() {
    if (!PassDiskChangeGate(TDiskChange::Flush) || !FlushFileBuffers(m_file.Get())) {
        ThrowWriteError();
    }
}

void CInstallJournal::ThrowWriteError() const {
    throw COrvException(L"Can not write the journal: " + m_path, 0);
}

void ForEachJournalLine(std::string_view text,
                        const std::function<void(const TJournalLine&)>& handle) {
    for (std::size_t end = text.find(LineBreak); end != std::string_view::npos;
         end = text.find(LineBreak)) {
        if (const std::optional<TJournalLine> line = ParseLine(text.substr(0, end))) {
            handle(*line);
        }
        text.remove_prefix(end + LineBreak.size());
    }
}
