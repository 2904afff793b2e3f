#pragma once

#include "directorybackup.h"
#include "exitsequence.h"
#include "services.h"
#include "volumes.h"

#include <QDesktopServices>
#include <QElapsedTimer>
#include <QHash>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <string>
#include <vector>

class DirectoryBrowser;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

// Everything the window takes from outside, so tests can run it without a
// real volume, clock or desktop.
struct WindowServices
{
    pendrel::MessageBoxes &boxes;
    const pendrel::Clock &clock;
    pendrel::FileSystem &fileSystem;
    std::function<std::vector<pendrel::Volume>()> removableVolumes;
    pendrel::VolumeQuery queryVolume;
    std::string settingsFile;
    std::string outstandingRecord = {}; // "" : runs that were not saved are not caught up
    pendrel::MissingDirectory settingsDirectory = pendrel::MissingDirectory::Fail;
    QString readmeFile;
    std::function<bool(const QUrl &)> openUrl = QDesktopServices::openUrl;
    // Asked between the steps of a save: true once the display's connection
    // is broken, and the save then goes on without the display.
    std::function<bool()> displayGone = [] { return false; };
};

class frmSichern : public QWidget, private pendrel::Progress
{
    Q_OBJECT

public:
    explicit frmSichern(WindowServices services, QWidget *parent = nullptr);

    // Reads the settings (asking about a missing file), then takes StartZeit:
    // the start of the earliest run not yet saved, if there is one.
    void Form_Load();
    // 0 after a complete save or when the user chose not to save.
    [[nodiscard]] int exitStatus() const { return m_exitStatus; }
    // The desktop session is ending: runs the exit sequence once, answered as
    // `asking` says, then closes the window.
    void endSession(pendrel::Asking asking);
    // Writes the name and list to the settings file, and nothing else.
    void keepSettings();
    // SIGTERM, SIGHUP or SIGINT: a close like any other while someone can
    // answer in the window; with no window on a screen (a headless start, or
    // one not shown yet) nobody can, and the save runs unasked.
    void closeBySignal();
    // The display is gone: the exit sequence runs unasked, without touching
    // the display, unless a save has already started; that one goes on to its
    // end without the display. Only if Qt ends the program as soon as this
    // returns (`endsOnReturn`, reported inside the save's own pass of the
    // event loop) can it not finish: the name and list are written then, and
    // the run stays outstanding.
    void displayLost(bool endsOnReturn);
    // Lists "/" and the removable volumes mounted now in Drive1, keeping its
    // current drive while that is still there.
    void updateDrives();

signals:
    // The exit sequence has run to its end (saved, declined or not saved).
    void exitSequenceEnded();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    void Form_Activate();
    void rememberOpened(const QByteArray &path);
    void Drive1_Change(int index);
    void cmdHinz_Click();
    void Command2_Click();
    void Command1_Click();
    void Form_QueryUnload();
    void appendEntry(const QByteArray &bytes);

    void restoreWindow();
    void setBusy(bool busy);
    [[nodiscard]] bool displayGone();
    [[nodiscard]] pendrel::ExitSnapshot snapshot() const;
    [[nodiscard]] pendrel::ExitServices exitServices();
    void runExitSequence(pendrel::Asking asking);

    void checking(const std::string &directory) override;
    void saving(const std::string &file) override;
    void keepResponsive() override;
    void showStatus();
    // Writes the name and list, a failure reported on stderr.
    void writeSettingsUnasked();

    WindowServices m_services;
    pendrel::TimePoint m_startZeit;
    QByteArray m_loadedName = QByteArrayLiteral("Text1");
    QString m_shownName = QStringLiteral("Text1");
    QHash<QString, QByteArray> m_lastOpenedOnDrive;
    QElapsedTimer m_sinceRepaint;
    // The latest status, shown at the next repaint.
    std::string m_statusPath;
    bool m_statusSaving = false;
    bool m_statusStale = false;
    bool m_activated = false;
    bool m_closing = false;
    bool m_closed = false;
    enum class Save { NotStarted, Running, Ended } m_save = Save::NotStarted;
    bool m_displayGone = false;
    bool m_settingsUnread = false; // sichern.txt could not be read, nor moved aside
    int m_exitStatus = 0;

    QPushButton *Command1;
    QComboBox *Drive1;
    DirectoryBrowser *Dir1;
    QLineEdit *txtDiskName;
    QPushButton *Command2;
    QPushButton *cmdHinz;
    QListWidget *lstArbVz;
    QLabel *lblIchpruef;
    QLabel *Label2;
    QLabel *Label1;
};
