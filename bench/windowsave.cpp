// windowsave: one save driven through the real window, for savebench.
//
//   windowsave TREE REF TARGET   prints "saved N failures M elapsed S
//                                peak_kib P boxes B"
//   windowsave --idle            shows the window briefly and ends unsaved
//
// The window lists TREE, its clock stands at REF (so StartZeit is REF) and
// the volume query answers TARGET with a matching label. The time runs from
// the close request until the window has closed. Message boxes are real and
// answered with Return; a normal save shows none.

#include "filesystem.h"
#include "frmsichern.h"
#include "peakresident.h"
#include "qtmessageboxes.h"
#include "services.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {

class FixedClock final : public pendrel::Clock
{
public:
    explicit FixedClock(pendrel::TimePoint at) : m_at(at) { }
    pendrel::TimePoint now() const override { return m_at; }

private:
    pendrel::TimePoint m_at;
};

// Saved files in the one backup folder below target (hidden names are
// temporary files, not saved ones).
long long savedFiles(const std::string &target)
{
    long long count = 0;
    std::error_code ec;
    for (const auto &folder : std::filesystem::directory_iterator(target, ec)) {
        if (!folder.is_directory() || folder.path().filename() == "lost+found")
            continue;
        for (const auto &file : std::filesystem::directory_iterator(folder.path(), ec))
            count += file.is_regular_file() && !file.path().filename().string().starts_with(".");
    }
    return count;
}

} // namespace

int main(int argc, char *argv[])
{
    const bool idle = argc == 2 && std::string(argv[1]) == "--idle";
    if (!idle && argc != 4) {
        std::fprintf(stderr, "usage: windowsave TREE REF TARGET | windowsave --idle\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir runtimeDir; // keeps Qt from warning about a missing one
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") && runtimeDir.isValid())
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir.path()));
    QApplication app(argc, argv);

    const std::string tree = idle ? "/" : argv[1];
    const std::string target = idle ? "/nonexistent-target" : argv[3];
    QTemporaryDir settingsDir;
    if (!settingsDir.isValid()) {
        std::fprintf(stderr, "windowsave: %s\n", qPrintable(settingsDir.errorString()));
        return 1;
    }
    const std::string settingsFile = settingsDir.filePath("sichern.txt").toStdString();
    std::ofstream(settingsFile, std::ios::binary) << "PENDREL\r\n" << tree << "\r\n";

    FixedClock clock(pendrel::TimePoint(std::chrono::seconds(idle ? 0 : std::atoll(argv[2]))));
    pendrel::PosixFileSystem fileSystem;
    QtMessageBoxes boxes;
    const pendrel::Volume stick { target, "/dev/stick", "PENDREL" };
    frmSichern window({
            .boxes = boxes,
            .clock = clock,
            .fileSystem = fileSystem,
            .removableVolumes = [&stick] { return std::vector<pendrel::Volume> { stick }; },
            .queryVolume = [&stick](const std::string &) { return std::optional<pendrel::Volume>(stick); },
            .settingsFile = settingsFile,
            .readmeFile = {},
            .openUrl = [](const QUrl &) { return true; },
    });
    boxes.setParentWidget(&window);

    int answered = 0;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&answered] {
        QPointer<QWidget> box = QApplication::activeModalWidget();
        if (box) {
            ++answered;
            QTest::keyClick(box, Qt::Key_Return);
        }
    });
    answerer.start(50);

    window.Form_Load();
    window.show();
    QElapsedTimer elapsed;
    if (idle) {
        QTimer::singleShot(300, &app, [&app] { app.exit(0); });
    } else {
        QTimer::singleShot(100, &window, [&window, &elapsed] {
            elapsed.start();
            window.close();
        });
    }
    const int status = app.exec();
    const double seconds = idle ? 0 : double(elapsed.nsecsElapsed()) / 1e9;
    std::printf("saved %lld failures %d elapsed %.6f peak_kib %ld boxes %d\n", idle ? 0 : savedFiles(target),
                window.exitStatus(), seconds, peakResidentKiB(), answered);
    return status;
}
