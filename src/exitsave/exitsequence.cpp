#include "exitsequence.h"

#include "paths.h"
#include "settingsfile.h"

#include <ctime>

namespace pendrel {

namespace {

const char *const noDiskText = "There is no diskette in drive a:";
const char *const confirmText = "You don\u00B4t want to save your work, are you sure?";
const char *const wrongDiskText = "There is the wrong diskette in drive a: !\rPlease insert Disk with Name '";

// How many failures the message lists before pointing to the details.
constexpr std::size_t listedFailures = 10;

std::string failureLine(const SaveFailure &failure)
{
    return failure.path + ": " + failure.reason;
}

std::string failureMessage(const std::vector<SaveFailure> &failures)
{
    std::string text = failures.size() == 1 ? std::string("1 item was not saved:")
                                            : std::to_string(failures.size()) + " items were not saved:";
    for (std::size_t i = 0; i < failures.size() && i < listedFailures; ++i)
        text += "\n" + failureLine(failures[i]);
    if (failures.size() > listedFailures)
        text += "\n... and " + std::to_string(failures.size() - listedFailures) + " more (see details).";
    return text;
}

std::string failureDetails(const std::vector<SaveFailure> &failures)
{
    std::string details;
    for (const SaveFailure &failure : failures) {
        if (!details.empty())
            details += "\n";
        details += failureLine(failure);
    }
    return details;
}

void save(ExitHost &host, const ExitServices &services, RunState &state, const Volume &volume, ExitResult &result)
{
    state.ZielVz = backupFolderName(services.clock.now());
    result.saved = true;
    result.backupFolder = datname(volume.mountPoint, state.ZielVz);

    // A settings file that cannot be written must not cost the copies.
    SettingsWriter settings(services.settingsFile, services.settingsDirectory);
    bool settingsOk = settings.open() && settings.writeLine(host.diskName());

    DirectoryBackup backup(services.fileSystem, services.progress, state, volume.mountPoint, services.settingsFile);
    if (services.walkThreads > 0)
        backup.setThreads(services.walkThreads);
    const int count = host.entryCount();
    for (int i = 0; i < count; ++i) {
        backup.VzSichern(host.entry(i));
        settingsOk = settingsOk && settings.writeLine(host.entry(i));
    }
    settingsOk = settingsOk && settings.commit();
    backup.finish();

    result.settingsWritten = settingsOk;
    result.failures = backup.failures();
    if (!settingsOk)
        services.boxes.show("The settings could not be saved.\n" + settings.errorText(), Buttons::Ok);
    if (!result.failures.empty())
        services.boxes.show(failureMessage(result.failures), Buttons::Ok, failureDetails(result.failures));
}

} // namespace

std::string backupFolderName(TimePoint when)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char name[32];
    const std::size_t length = std::strftime(name, sizeof name, "%m-%d-%y_%H-%M-%S", &local);
    return std::string(name, length);
}

ExitResult runExitSequence(ExitHost &host, const ExitServices &services, RunState &state)
{
    enum class Step { Query, Confirm };

    ExitResult result;
    host.restoreWindow();
    Step step = Step::Query;
    for (;;) {
        if (step == Step::Confirm) {
            if (services.boxes.show(confirmText, Buttons::YesNo) == Answer::Yes)
                return result;
            step = Step::Query;
            continue;
        }

        const std::string expected = host.diskName();
        const std::optional<Volume> volume = services.queryVolume(expected);
        if (!volume) {
            if (services.boxes.show(noDiskText, Buttons::RetryCancel) != Answer::Retry)
                step = Step::Confirm;
            continue;
        }
        const bool wrong = !expected.empty() && upperCased(volume->label) != upperCased(expected);
        if (wrong) {
            const Answer answer = services.boxes.show(wrongDiskText + expected, Buttons::AbortRetryIgnore);
            if (answer == Answer::Retry)
                continue;
            if (answer != Answer::Ignore) {
                step = Step::Confirm;
                continue;
            }
        }
        save(host, services, state, *volume, result);
        return result;
    }
}

} // namespace pendrel
