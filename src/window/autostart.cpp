#include "autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace pendrel {

namespace {

// `program` as the Exec key of a desktop entry: quoted where the shell-like
// rules of freedesktop.org desktop entries would split or expand it, "%"
// doubled, and every backslash escaped once more for the string value.
QString execValue(const QString &program)
{
    static const QString reserved = QStringLiteral(" \t\"'\\><~|&;$*?#()`");
    QString argument = program;
    if (std::any_of(program.cbegin(), program.cend(), [](QChar c) { return reserved.contains(c); })) {
        argument.clear();
        for (const QChar c : program) {
            if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
                argument += u'\\';
            argument += c;
        }
        argument = u'"' + argument + u'"';
    }
    argument.replace(u'%', QStringLiteral("%%"));
    argument.replace(u'\\', QStringLiteral("\\\\"));
    return argument;
}

} // namespace

QString autostartEntry(const QString &configHome)
{
    return configHome + QStringLiteral("/autostart/pendrel.desktop");
}

QString enableAutostart(const QString &configHome, const QString &program)
{
    // A name that did not decode, or a line break, cannot stand in an Exec line.
    if (std::any_of(program.cbegin(), program.cend(), [](QChar c) { return c.category() == QChar::Other_Control || c == QChar::ReplacementCharacter; }))
        return QStringLiteral("The program's path %1 cannot be written into an autostart entry.").arg(program);
    const QString entry = autostartEntry(configHome);
    const QString folder = QFileInfo(entry).path();
    QDir dir;
    const bool made = (QFileInfo::exists(configHome)
                       || dir.mkdir(configHome, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
            && dir.mkpath(folder);
    if (!made)
        return QStringLiteral("Cannot create the folder %1.").arg(folder);

    QSaveFile file(entry);
    if (!file.open(QIODevice::WriteOnly))
        return QStringLiteral("Cannot write %1: %2").arg(entry, file.errorString());
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Pendrel\n"
                                        "Comment=Copy the files you changed today onto your USB stick when you close it\n"
                                        "Exec=%1\n"
                                        "Icon=pendrel\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                                 .arg(execValue(program));
    file.write(text.toUtf8());
    if (!file.commit())
        return QStringLiteral("Cannot write %1: %2").arg(entry, file.errorString());
    return {};
}

QString disableAutostart(const QString &configHome)
{
    const QString entry = autostartEntry(configHome);
    QFile file(entry);
    if (!file.remove() && QFileInfo::exists(entry))
        return QStringLiteral("Cannot remove %1: %2").arg(entry, file.errorString());
    return {};
}

} // namespace pendrel
