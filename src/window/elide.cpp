#include "elide.h"

#include <QStringList>

namespace {

QString elided(const QString &line, qsizetype limit)
{
    if (line.size() <= limit)
        return line;
    qsizetype head = (limit - 1) / 2;
    qsizetype tail = limit - 1 - head;
    // Never split a surrogate pair.
    if (head > 0 && line.at(head - 1).isHighSurrogate())
        --head;
    if (tail > 0 && line.at(line.size() - tail).isLowSurrogate())
        --tail;
    return line.left(head) + QChar(0x2026) + line.right(tail);
}

} // namespace

QString elidedLines(const QString &text, qsizetype limit)
{
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines)
        line = elided(line, limit);
    return lines.join(QLatin1Char('\n'));
}
