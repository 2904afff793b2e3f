#include "frmsichern.h"

#include "directorybrowser.h"
#include "elide.h"
#include "outstandingrun.h"
#include "settingsfile.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSessionManager>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

// Sizes and positions come in twips: 15 to a pixel at 96 dots per inch.
void place(QWidget *control, int left, int top, int width, int height)
{
    control->setGeometry(left / 15, top / 15, width / 15, height / 15);
}

QByteArray bytesOf(const std::string &text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

constexpr int BytesRole = Qt::UserRole;
constexpr int RepaintIntervalMs = 30;

} // namespace

frmSichern::frmSichern(WindowServices services, QWidget *parent)
    : QWidget(parent)
    , m_services(std::move(services))
{
    setObjectName(QStringLiteral("frmSichern"));
    setWindowTitle(QStringLiteral("Pendrel"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/pendrel-32x32-16.png"));
    icon.addFile(QStringLiteral(":/icons/pendrel-32x32-2.png"));
    icon.addFile(QStringLiteral(":/icons/pendrel-16x16-16.png"));
    setWindowIcon(icon);
    setFixedSize(544, 191);
    createControls();
}

void frmSichern::createControls()
{
    Command1 = new QPushButton(QStringLiteral("?"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    place(Command1, 3465, 1710, 1440, 375);

    Drive1 = new QComboBox(this);
    Drive1->setObjectName(QStringLiteral("Drive1"));
    place(Drive1, 5190, 1950, 2820, 315);
    updateDrives();

    Dir1 = new DirectoryBrowser(this);
    Dir1->setObjectName(QStringLiteral("Dir1"));
    place(Dir1, 5205, 375, 2835, 1380);

    txtDiskName = new QLineEdit(QStringLiteral("Text1"), this);
    txtDiskName->setObjectName(QStringLiteral("txtDiskName"));
    // Qt's default of 32767 characters would cut a longer name read from
    // sichern.txt, and the save would write it back shortened.
    txtDiskName->setMaxLength(std::numeric_limits<int>::max());
    place(txtDiskName, 45, 1890, 3060, 330);

    Command2 = new QPushButton(QStringLiteral("&Remove"), this);
    Command2->setObjectName(QStringLiteral("Command2"));
    place(Command2, 3420, 915, 1470, 360);

    cmdHinz = new QPushButton(QStringLiteral("<< &Add"), this);
    cmdHinz->setObjectName(QStringLiteral("cmdHinz"));
    place(cmdHinz, 3420, 450, 1440, 360);

    lstArbVz = new QListWidget(this);
    lstArbVz->setObjectName(QStringLiteral("lstArbVz"));
    lstArbVz->setSelectionMode(QAbstractItemView::SingleSelection);
    place(lstArbVz, 30, 330, 3135, 1230);

    lblIchpruef = new QLabel(this);
    lblIchpruef->setObjectName(QStringLiteral("lblIchprüf"));
    place(lblIchpruef, 90, 2460, 7905, 285);

    Label2 = new QLabel(QStringLiteral("&Diskette Name"), this);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setBuddy(txtDiskName);
    place(Label2, 30, 1620, 3075, 225);

    Label1 = new QLabel(QStringLiteral("Working Directories"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    place(Label1, 60, 90, 3135, 210);

    // Labels take no focus; Qt leaves them out of the chain.
    const QList<QWidget *> tabOrder = {lstArbVz, cmdHinz, Command2, txtDiskName, Dir1, Drive1, Command1};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    lstArbVz->setFocus();

    connect(cmdHinz, &QPushButton::clicked, this, &frmSichern::cmdHinz_Click);
    connect(Command2, &QPushButton::clicked, this, &frmSichern::Command2_Click);
    connect(Command1, &QPushButton::clicked, this, &frmSichern::Command1_Click);
    connect(Drive1, &QComboBox::activated, this, &frmSichern::Drive1_Change);
    connect(Dir1, &DirectoryBrowser::opened, this, &frmSichern::rememberOpened);
    // A logout ends the program without a close request: the dialogue runs
    // here, where the session manager may let it ask. Without its leave to
    // ask, this may be a checkpoint the session survives: the name and list
    // are written, and the save waits until the session manager has the
    // program quit.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
        if (manager.allowsInteraction()) {
            endSession(pendrel::Asking::UserAtSessionEnd);
            manager.release();
        } else {
            keepSettings();
        }
    });
    // A session manager ends the program by having the application quit;
    // a request nobody answers.
    qApp->installEventFilter(this);
}

bool frmSichern::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && event->type() == QEvent::Quit)
        endSession(pendrel::Asking::Nobody);
    return QWidget::eventFilter(watched, event);
}

void frmSichern::keepSettings()
{
    if (!m_closing && !m_closed)
        writeSettingsUnasked();
}

void frmSichern::writeSettingsUnasked()
{
    const std::string error = pendrel::saveSettings(snapshot(), exitServices());
    if (!error.empty())
        std::fprintf(stderr, "pendrel: the settings could not be saved: %s\n", error.c_str());
}

void frmSichern::Form_Load()
{
    const pendrel::LoadResult loaded = pendrel::loadSettings(m_services.settingsFile);
    switch (loaded.status) {
    case pendrel::LoadStatus::Loaded:
        m_loadedName = bytesOf(loaded.settings.diskName);
        // A long name is shown cut; left as shown, the whole name is kept.
        m_shownName = elidedLines(QString::fromLocal8Bit(m_loadedName));
        txtDiskName->setText(m_shownName);
        for (const std::string &directory : loaded.settings.directories)
            appendEntry(bytesOf(directory));
        break;
    case pendrel::LoadStatus::Missing:
        m_services.boxes.show("The file Sichern.txt is damaged or not existing!", pendrel::Buttons::Ok);
        break;
    case pendrel::LoadStatus::Unreadable: {
        std::string movedTo;
        const std::string error = pendrel::moveAside(m_services.fileSystem, m_services.settingsFile, movedTo);
        m_settingsUnread = !error.empty();
        const std::string kept = error.empty()
                ? "It is kept as " + movedTo
                : error + ".\nIt is left as it is: the name and the list are not saved at the close";
        m_services.boxes.show(std::string("The file Sichern.txt cannot be read: ") + std::strerror(loaded.error)
                                      + ".\n" + kept + ".\nPendrel starts with the name \"Text1\" and an empty list.",
                              pendrel::Buttons::Ok, m_services.settingsFile);
        break;
    }
    }
    const pendrel::RunStart start = pendrel::startRun(m_services.fileSystem, m_services.outstandingRecord,
                                                      m_services.clock.now());
    m_startZeit = start.since;
    if (start.outstanding) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(start.outstanding->time_since_epoch());
        lblIchpruef->setText(QStringLiteral("The save of %1 did not happen; it is made at this close.")
                                     .arg(QDateTime::fromMSecsSinceEpoch(ms.count()).toString(u"yyyy-MM-dd HH:mm")));
    }
}

void frmSichern::updateDrives()
{
    QStringList roots{QStringLiteral("/")};
    if (m_services.removableVolumes) {
        for (const pendrel::Volume &volume : m_services.removableVolumes())
            roots << QFile::decodeName(bytesOf(volume.mountPoint));
    }
    QStringList shown;
    for (int i = 0; i < Drive1->count(); ++i)
        shown << Drive1->itemText(i);
    if (roots == shown)
        return;
    const QString current = Drive1->currentText();
    Drive1->clear();
    Drive1->addItems(roots);
    Drive1->setCurrentIndex(std::max(0, int(roots.indexOf(current))));
}

void frmSichern::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_activated) {
        m_activated = true;
        Form_Activate();
    }
}

void frmSichern::Form_Activate()
{
    Dir1->openPath("/");
}

void frmSichern::rememberOpened(const QByteArray &path)
{
    QString drive;
    for (int i = 0; i < Drive1->count(); ++i) {
        const QString root = Drive1->itemText(i);
        const QByteArray rootBytes = QFile::encodeName(root);
        const QByteArray prefix = rootBytes.endsWith('/') ? rootBytes : rootBytes + '/';
        if ((path == rootBytes || path.startsWith(prefix)) && root.size() > drive.size())
            drive = root;
    }
    m_lastOpenedOnDrive.insert(drive, path);
}

void frmSichern::Drive1_Change(int index)
{
    const QString root = Drive1->itemText(index);
    Dir1->openPath(m_lastOpenedOnDrive.value(root, QFile::encodeName(root)));
}

void frmSichern::cmdHinz_Click()
{
    if (!Dir1->path().isEmpty())
        appendEntry(Dir1->path());
}

void frmSichern::Command2_Click()
{
    const QList<QListWidgetItem *> selected = lstArbVz->selectedItems();
    if (selected.isEmpty())
        return;
    delete lstArbVz->takeItem(lstArbVz->row(selected.first()));
    lstArbVz->clearSelection();
}

void frmSichern::Command1_Click()
{
    const QString readme = m_services.readmeFile;
    if (QFileInfo(readme).isFile() && m_services.openUrl(QUrl::fromLocalFile(readme)))
        return;
    m_services.boxes.show("The read-me file could not be opened:\n" + QFile::encodeName(readme).toStdString(),
                          pendrel::Buttons::Ok);
}

void frmSichern::appendEntry(const QByteArray &bytes)
{
    auto *item = new QListWidgetItem(QFile::decodeName(bytes));
    item->setData(BytesRole, bytes);
    lstArbVz->addItem(item);
}

void frmSichern::closeEvent(QCloseEvent *event)
{
    if (m_closed) {
        event->accept();
        return;
    }
    // The sequence runs outside Qt's close handling: while Qt is closing a
    // window, a second close from the window manager would destroy it.
    event->ignore();
    if (!m_closing) {
        m_closing = true;
        QMetaObject::invokeMethod(this, &frmSichern::Form_QueryUnload, Qt::QueuedConnection);
    }
}

void frmSichern::Form_QueryUnload()
{
    cmdHinz->setEnabled(false);
    Command2->setEnabled(false);
    runExitSequence(pendrel::Asking::User);
    close();
}

void frmSichern::endSession(pendrel::Asking asking)
{
    if (m_closing || m_closed)
        return;
    m_closing = true;
    cmdHinz->setEnabled(false);
    Command2->setEnabled(false);
    runExitSequence(asking);
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void frmSichern::closeBySignal()
{
    const QString platform = QGuiApplication::platformName();
    if (!isVisible() || platform == u"offscreen" || platform == u"minimal")
        endSession(pendrel::Asking::Nobody);
    else
        close();
}

void frmSichern::displayLost(bool endsOnReturn)
{
    m_displayGone = true;
    if (m_closed || m_save == Save::Ended)
        return;
    if (m_save == Save::NotStarted) {
        m_closing = true;
        runExitSequence(pendrel::Asking::Nobody);
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    if (!endsOnReturn)
        return;
    std::fprintf(stderr, "pendrel: the display is gone during the save; what it had not copied yet is saved at the "
                         "next close\n");
    writeSettingsUnasked();
}

pendrel::ExitServices frmSichern::exitServices()
{
    pendrel::ExitServices services{.boxes = m_services.boxes,
                                   .clock = m_services.clock,
                                   .fileSystem = m_services.fileSystem,
                                   .progress = *this,
                                   .queryVolume = m_services.queryVolume,
                                   .settingsFile = m_services.settingsFile,
                                   .settingsDirectory = m_services.settingsDirectory};
    services.restoreWindow = [this] { restoreWindow(); };
    services.busy = [this](bool busy) { setBusy(busy); };
    services.nobodyLeft = [this] { return displayGone(); };
    services.outstandingRecord = m_services.outstandingRecord;
    services.settingsUnread = m_settingsUnread;
    return services;
}

void frmSichern::runExitSequence(pendrel::Asking asking)
{
    m_exitStatus = pendrel::runExitSequence(snapshot(), m_startZeit, exitServices(), asking).exitStatus();
    m_closed = true;
    emit exitSequenceEnded();
}

void frmSichern::restoreWindow()
{
    if (isMinimized())
        showNormal();
}

// While the save processes events, nothing but the status line may act: a
// box opened from there would run inside the save.
void frmSichern::setBusy(bool busy)
{
    m_save = busy ? Save::Running : Save::Ended;
    if (!busy)
        showStatus();
    if (m_displayGone)
        return;
    const QList<QWidget *> controls = {lstArbVz, txtDiskName, Dir1, Drive1, Command1};
    for (QWidget *control : controls)
        control->setEnabled(!busy);
    if (busy)
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QGuiApplication::restoreOverrideCursor();
}

pendrel::ExitSnapshot frmSichern::snapshot() const
{
    pendrel::ExitSnapshot snapshot;
    const QString text = txtDiskName->text();
    snapshot.diskName = text == m_shownName ? m_loadedName.toStdString()
                                                                      : text.toLocal8Bit().toStdString();
    for (int i = 0; i < lstArbVz->count(); ++i)
        snapshot.entries.push_back(lstArbVz->item(i)->data(BytesRole).toByteArray().toStdString());
    return snapshot;
}

// The status line is set when it is painted, not for each of the thousands
// of directories and files in between: nobody sees those texts.
void frmSichern::checking(const std::string &directory)
{
    m_statusPath = directory;
    m_statusSaving = false;
    m_statusStale = true;
}

void frmSichern::saving(const std::string &file)
{
    m_statusPath = file;
    m_statusSaving = true;
    m_statusStale = true;
}

void frmSichern::showStatus()
{
    if (!m_statusStale || m_displayGone)
        return;
    m_statusStale = false;
    const QString path = QString::fromLocal8Bit(bytesOf(m_statusPath));
    lblIchpruef->setText(elidedLines(m_statusSaving ? QStringLiteral("I\u00B4m saving ") + path + QStringLiteral(" to A:\\")
                                                    : QStringLiteral("I'm checking ") + path));
}

bool frmSichern::displayGone()
{
    if (m_services.displayGone() && !m_displayGone) {
        m_displayGone = true;
        std::fprintf(stderr, "pendrel: the display is gone; the save goes on without it\n");
    }
    return m_displayGone;
}

// Once the display is gone, a pass of the event loop would let Qt end the
// program in the middle of the save.
void frmSichern::keepResponsive()
{
    if (displayGone())
        return;
    if (m_sinceRepaint.isValid() && m_sinceRepaint.elapsed() < RepaintIntervalMs)
        return;
    showStatus();
    QCoreApplication::processEvents();
    m_sinceRepaint.start();
}
