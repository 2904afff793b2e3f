#include "commandline.h"
#include "displayloss.h"
#include "filesystem.h"
#include "frmsichern.h"
#include "mounttablewatch.h"
#include "outstandingrun.h"
#include "qtmessageboxes.h"
#include "dialogue.h"
#include "services.h"
#include "settingslocation.h"
#include "singleinstance.h"
#include "unixsignals.h"
#include "volumes.h"

#include <QApplication>
#include <QFile>

#include <csignal>

int main(int argc, char *argv[])
{
    if (const std::optional<int> status = pendrel::runCommandLine(argc, argv))
        return *status;
    QApplication app(argc, argv);
    pendrel::refuseLeftoverArguments();
    SingleInstance session;
    if (!session.claim())
        return session.handOver();

    pendrel::SystemClock clock;
    pendrel::PosixFileSystem fileSystem;
    pendrel::VolumeFinder volumes;
    QtMessageBoxes boxes;
    const std::string appDir = pendrel::applicationDirectory();
    const pendrel::SettingsLocation settings = pendrel::settingsLocation(appDir, pendrel::configHome());
    DisplayLossWatch displayLoss;

    frmSichern window({
            .boxes = boxes,
            .clock = clock,
            .fileSystem = fileSystem,
            .removableVolumes = [&volumes] { return volumes.removableVolumes(); },
            .queryVolume = [&volumes](const std::string &name) { return volumes.query(name); },
            .settingsFile = settings.file,
            .outstandingRecord = pendrel::outstandingRecordPath(settings.file, settings.besideProgram,
                                                                pendrel::stateHome()),
            .settingsDirectory = settings.missingDirectory,
            .readmeFile = QFile::decodeName(QByteArray::fromStdString(pendrel::readmeFile(appDir))),
            .displayGone = [&displayLoss] { return displayLoss.lost(); },
    });
    QObject::connect(&window, &frmSichern::exitSequenceEnded, [&displayLoss] { displayLoss.closeEnded(); });
    boxes.setParentWidget(&window);
    window.Form_Load();

    // Installed only now: before StartZeit there is nothing to save, and the
    // default action may end the program.
    UnixSignals unixSignals({SIGTERM, SIGHUP, SIGINT});
    QObject::connect(&unixSignals, &UnixSignals::received, &window, &frmSichern::closeBySignal);

    MountTableWatch mountTable;
    QObject::connect(&mountTable, &MountTableWatch::changed, &window, &frmSichern::updateDrives);

    // Qt ends the program when the display goes; the save runs before.
    displayLoss.start([&window](bool endsOnReturn) { window.displayLost(endsOnReturn); });

    window.show();
    const int status = app.exec();
    return status != 0 ? status : window.exitStatus();
}
