#include "exitsequence.h"

#include "outstandingrun.h"
#include "paths.h"
#include "settingsfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <type_traits>

namespace pendrel {

namespace {

const char *const noDiskText = "There is no diskette in drive a:";
const char *const confirmText = "You don\u00B4t want to save your work, are you sure?";
const char *const wrongDiskText = "There is the wrong diskette in drive a: !\rPlease insert Disk with Name '";

// How many items of each kind the message lists before pointing to the details.
constexpr std::size_t listedItems = 10;

std::string reason(const SaveFailure &failure)
{
    switch (failure.kind) {
    case FailureKind::NotTried:
        return isTargetGone(failure.error) ? "not tried, the stick was removed" : "not tried, the stick is full";
    case FailureKind::TargetFull:
        // FAT holds no file of 4 GiB or more.
        if (failure.error == EFBIG)
            return "too large for this stick's file system";
        break;
    case FailureKind::Changing:
        return "changed while it was being saved";
    case FailureKind::NameRefused:
        return std::string("the stick refuses this name (") + std::strerror(failure.error) + ")";
    default:
        break;
    }
    return std::strerror(failure.error);
}

std::string line(const SaveFailure &failure)
{
    return failure.path + ": " + reason(failure);
}

std::string line(const RenamedSave &renamed)
{
    return renamed.path + " as " + renamed.savedName;
}

// One heading and the first items, then how many were not tried; the rest
// are left to the details.
template<typename Item>
std::string section(const std::vector<Item> &all, const char *one, const char *many)
{
    std::vector<const Item *> listed;
    std::size_t notTried = 0;
    int notTriedError = 0;
    for (const Item &item : all) {
        if constexpr (std::is_same_v<Item, SaveFailure>) {
            if (item.kind == FailureKind::NotTried) {
                ++notTried;
                notTriedError = item.error;
                continue;
            }
        }
        listed.push_back(&item);
    }
    std::string text = all.size() == 1 ? std::string(one) : std::to_string(all.size()) + many;
    for (std::size_t i = 0; i < listed.size() && i < listedItems; ++i)
        text += "\n" + line(*listed[i]);
    if (listed.size() > listedItems)
        text += "\n... and " + std::to_string(listed.size() - listedItems) + " more (see details).";
    if (notTried > 0)
        text += std::string("\n") + (isTargetGone(notTriedError) ? "stick removed: " : "stick full: ")
                + std::to_string(notTried) + " not tried";
    return text;
}

template<typename Item>
void appendLines(std::string &details, const std::vector<Item> &items)
{
    for (const Item &item : items) {
        if (!details.empty())
            details += "\n";
        details += line(item);
    }
}

// What was not saved first, then what was saved under a substitute name.
void reportSave(MessageBoxes &boxes, const ExitResult &result)
{
    std::string text;
    if (!result.failures.empty())
        text = section(result.failures, "1 item was not saved:", " items were not saved:");
    if (!result.renamed.empty()) {
        if (!text.empty())
            text += "\n\n";
        text += section(result.renamed, "1 file was saved under another name:", " files were saved under another name:");
    }
    if (text.empty())
        return;
    std::string details;
    appendLines(details, result.failures);
    appendLines(details, result.renamed);
    boxes.show(text, Buttons::Ok, details);
}

bool matches(const std::string &expected, const Volume &volume)
{
    return expected.empty() || upperCased(volume.label) == upperCased(expected);
}

// Writes the name and the list; returns "" or what went wrong.
std::string writeSettingsOf(const ExitSnapshot &snapshot, const ExitServices &services, ExitResult &result)
{
    std::string error = saveSettings(snapshot, services);
    result.settingsWritten = error.empty();
    return error;
}

void reportSettings(const std::string &error, const ExitServices &services, Asking asking)
{
    if (error.empty())
        return;
    if (asking == Asking::Nobody)
        std::fprintf(stderr, "pendrel: the settings could not be saved: %s\n", error.c_str());
    else
        services.boxes.show("The settings could not be saved.\n" + error, Buttons::Ok);
}

void save(const ExitSnapshot &snapshot, TimePoint startZeit, const ExitServices &services, const Volume &volume,
          Asking asking, ExitResult &result)
{
    RunState state{startZeit, backupFolderName(services.clock.now()), false};
    result.saved = true;
    result.backupFolder = datname(volume.mountPoint, state.ZielVz);

    services.busy(true);
    DirectoryBackup backup(services.fileSystem, services.progress, state, volume.mountPoint, services.settingsFile);
    if (services.walkThreads > 0)
        backup.setThreads(services.walkThreads);
    for (const std::string &entry : snapshot.entries)
        backup.VzSichern(entry);
    backup.finish();

    // A settings file that cannot be written must not cost the copies: it
    // is written after them, and whole or not at all.
    const std::string settingsError = writeSettingsOf(snapshot, services, result);
    services.busy(false);
    if (services.nobodyLeft())
        asking = Asking::Nobody;
    reportSettings(settingsError, services, asking);

    result.failures = backup.failures();
    result.renamed = backup.renamed();
    if (asking != Asking::Nobody) {
        reportSave(services.boxes, result);
        return;
    }
    std::string details;
    appendLines(details, result.failures);
    if (!details.empty())
        std::fprintf(stderr, "pendrel: not saved:\n%s\n", details.c_str());
}

// Nobody can be asked: the matching stick or nothing, and the settings either way.
void saveUnasked(const ExitSnapshot &snapshot, TimePoint startZeit, const ExitServices &services, ExitResult &result)
{
    const std::optional<Volume> volume = services.queryVolume(snapshot.diskName);
    if (volume && matches(snapshot.diskName, *volume)) {
        save(snapshot, startZeit, services, *volume, Asking::Nobody, result);
        return;
    }
    if (volume)
        std::fprintf(stderr, "pendrel: nothing saved: the stick is named '%s', not '%s'\n", volume->label.c_str(),
                     snapshot.diskName.c_str());
    else
        std::fprintf(stderr, "pendrel: nothing saved: no stick named '%s' is there\n", snapshot.diskName.c_str());
    reportSettings(writeSettingsOf(snapshot, services, result), services, Asking::Nobody);
}

void askAndSave(const ExitSnapshot &snapshot, TimePoint startZeit, const ExitServices &services, Asking asking,
                ExitResult &result)
{
    enum class Step { Query, Confirm };

    const std::string &expected = snapshot.diskName;
    services.restoreWindow();
    Step step = Step::Query;
    for (;;) {
        if (step == Step::Confirm) {
            if (services.boxes.show(confirmText, Buttons::YesNo) == Answer::Yes) {
                result.declined = true;
                if (asking == Asking::UserAtSessionEnd)
                    reportSettings(writeSettingsOf(snapshot, services, result), services, asking);
                return;
            }
            step = Step::Query;
            continue;
        }

        const std::optional<Volume> volume = services.queryVolume(expected);
        if (!volume) {
            if (services.boxes.show(noDiskText, Buttons::RetryCancel) != Answer::Retry)
                step = Step::Confirm;
            continue;
        }
        if (!matches(expected, *volume)) {
            const Answer answer = services.boxes.show(wrongDiskText + expected, Buttons::AbortRetryIgnore);
            if (answer == Answer::Retry)
                continue;
            if (answer != Answer::Ignore) {
                step = Step::Confirm;
                continue;
            }
        }
        save(snapshot, startZeit, services, *volume, asking, result);
        return;
    }
}

} // namespace

std::string saveSettings(const ExitSnapshot &snapshot, const ExitServices &services)
{
    // The name and list in it would be lost.
    if (services.settingsUnread)
        return services.settingsFile + " is left as it is: it could not be read at the start, nor moved aside";
    return writeSettings(services.fileSystem, services.settingsFile, Settings{snapshot.diskName, snapshot.entries},
                         services.settingsDirectory);
}

std::string backupFolderName(TimePoint when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char name[32];
    const std::size_t length = std::strftime(name, sizeof name, "%m-%d-%y_%H-%M-%S", &local);
    return std::string(name, length);
}

ExitResult runExitSequence(const ExitSnapshot &snapshot, TimePoint startZeit, const ExitServices &services,
                           Asking asking)
{
    ExitResult result;
    if (asking == Asking::Nobody)
        saveUnasked(snapshot, startZeit, services, result);
    else
        askAndSave(snapshot, startZeit, services, asking, result);

    if (services.outstandingRecord.empty())
        return result;
    if (result.declined || (result.saved && result.failures.empty())) {
        if (const int error = clearOutstanding(services.fileSystem, services.outstandingRecord))
            std::fprintf(stderr, "pendrel: cannot remove %s: %s\n", services.outstandingRecord.c_str(),
                         std::strerror(-error));
    } else if (const std::string error = keepOutstanding(services.fileSystem, services.outstandingRecord, startZeit);
               !error.empty()) {
        std::fprintf(stderr, "pendrel: %s\n", error.c_str());
    }
    return result;
}

} // namespace pendrel
