#include "inifile.h"

#include <QRegularExpression>

#include <algorithm>

namespace IniFile {

QList<IniLine> lines(QStringView text) {
    if (text.startsWith(QChar(0xfeff)))
        text = text.sliced(1);
    static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
    QList<IniLine> lines;
    int number = 0;
    for (const QStringView raw : text.split(lineEnd)) {
        ++number;
        const QStringView trimmed = raw.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u';') || trimmed.startsWith(u'#'))
            continue;
        IniLine &line = lines.emplace_back();
        line.number = number;
        line.text = trimmed.toString();
        if (trimmed.startsWith(u'[')) {
            line.kind = IniLine::Kind::Section;
            line.closed = trimmed.endsWith(u']');
            line.name =
                trimmed.sliced(1, trimmed.size() - (line.closed ? 2 : 1)).trimmed().toString();
        } else if (const qsizetype equals = trimmed.indexOf(u'='); equals >= 0) {
            line.kind = IniLine::Kind::Entry;
            line.key = trimmed.first(equals).trimmed().toString();
            line.value = trimmed.sliced(equals + 1).trimmed().toString();
        }
    }
    return lines;
}

QString lineProblem(const QString &path, int line, const QString &why) {
    return QStringLiteral("%1, line %2: %3").arg(path, QString::number(line), why);
}

QStringList reported(const QString &path, QList<std::pair<int, QString>> found) {
    constexpr int MaxReportedLines = 20;
    std::stable_sort(found.begin(), found.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList problems;
    for (qsizetype i = 0; i < qMin<qsizetype>(found.size(), MaxReportedLines); ++i)
        problems << lineProblem(path, found.at(i).first, found.at(i).second);
    if (found.size() > MaxReportedLines)
        problems << QStringLiteral("%1: and %2 more")
                        .arg(path, QString::number(found.size() - MaxReportedLines));
    return problems;
}

} // namespace IniFile
