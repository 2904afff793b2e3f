#include "commandline.h"

#include "autostart.h"
#include "settingslocation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <cstdlib>

namespace pendrel {

namespace {

const QString autostartName = QStringLiteral("autostart");

void describe(QCommandLineParser &parser)
{
    QCoreApplication::setApplicationName(QStringLiteral("pendrel"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PENDREL_VERSION));
    parser.setApplicationDescription(
            QStringLiteral("Keeps one window open during the working day and, when it is closed, copies every file "
                           "changed since the start under the listed folders onto a USB stick."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption({autostartName,
                      QStringLiteral("Start Pendrel when you log in (on), or no longer (off): writes or removes "
                                     "pendrel.desktop in ~/.config/autostart/."),
                      QStringLiteral("on|off")});
}

int fail(const QString &message)
{
    std::fputs(qPrintable(QCoreApplication::applicationName() + QStringLiteral(": ") + message + u'\n'), stderr);
    return 1;
}

int setAutostart(const QString &value)
{
    if (value != u"on" && value != u"off")
        return fail(QStringLiteral("--autostart takes on or off, not '%1'.").arg(value));
    const QString home = QFile::decodeName(QByteArray::fromStdString(configHome()));
    if (home.isEmpty())
        return fail(QStringLiteral("There is no home folder to keep the autostart entry in."));
    const bool on = value == u"on";
    const QString error = on ? enableAutostart(home, QCoreApplication::applicationFilePath()) : disableAutostart(home);
    if (!error.isEmpty())
        return fail(error);
    std::printf("%s\n",
                qPrintable((on ? QStringLiteral("Pendrel starts when you log in: %1 is written.")
                               : QStringLiteral("Pendrel no longer starts when you log in: %1 is gone."))
                                   .arg(autostartEntry(home))));
    return 0;
}

} // namespace

std::optional<int> runCommandLine(int argc, char *argv[])
{
    if (argc < 2)
        return std::nullopt;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    describe(parser);
    parser.parse(app.arguments());
    const bool ours = parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"))
            || parser.optionNames().contains(autostartName);
    // Unknown options may be QApplication's, which takes them later; --help-all lists them there.
    if (!ours && (!parser.unknownOptionNames().isEmpty() || parser.isSet(QStringLiteral("help-all"))))
        return std::nullopt;
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
    if (!parser.isSet(autostartName))
        return std::nullopt;
    return setAutostart(parser.value(autostartName));
}

void refuseLeftoverArguments()
{
    QCommandLineParser parser;
    describe(parser);
    parser.process(*QCoreApplication::instance());
    if (!parser.positionalArguments().isEmpty()) {
        fail(QStringLiteral("Unexpected argument '%1'.").arg(parser.positionalArguments().constFirst()));
        std::exit(1);
    }
}

} // namespace pendrel
