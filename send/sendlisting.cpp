#include "sendlisting.h"

#include "bytetext.h"
#include "rowfill.h"
#include "uploadrequest.h"
#include "wirelog.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace {

// A text value as --show-values prints it on a line of fields: quoted when it holds a space, a
// quote or nothing, so that each field reads back.
QString shownText(const QString &text) {
    const QString escaped = bytesAsText(text.toLatin1(), ByteStyle::Escapes);
    if (!text.isEmpty() && std::none_of(text.cbegin(), text.cend(), [](QChar c) {
            return c.isSpace() || c == QLatin1Char('"');
        }))
        return escaped;
    return QStringLiteral("\"%1\"").arg(
        QString(escaped).replace(QLatin1Char('"'), QLatin1String("\\\"")));
}

} // namespace

void SendListing::values(const QList<FieldValues::Line> &lines, bool json, QTextStream &out) {
    const auto timeText = [](const QDateTime &time) {
        return time.toUTC().toString(Qt::ISODateWithMs);
    };
    for (const FieldValues::Line &line : std::as_const(lines)) {
        if (json) {
            QJsonObject object{
                {"name", line.name}, {"state", stateName(line.state)}, {"source", line.source}};
            object.insert("value",
                          !line.value ? QJsonValue()
                          : std::holds_alternative<double>(*line.value)
                              ? QJsonValue(meantNumber(std::get<double>(*line.value), line.float32))
                              : QJsonValue(std::get<QString>(*line.value)));
            object.insert("time",
                          line.time.isValid() ? QJsonValue(timeText(line.time)) : QJsonValue());
            if (!line.problem.isEmpty())
                object.insert("problem", line.problem);
            out << QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)) << '\n';
            continue;
        }
        QString value = QStringLiteral("-");
        if (line.value && std::holds_alternative<double>(*line.value))
            value = numberText(std::get<double>(*line.value), line.float32);
        else if (line.value)
            value = shownText(std::get<QString>(*line.value));
        out << line.name << ' ' << value << ' ' << stateName(line.state) << ' '
            << (line.time.isValid() ? timeText(line.time) : QStringLiteral("-")) << ' '
            << line.source << '\n';
    }
    out.flush();
}

void SendListing::frames(const UploadRequest &request, QTextStream &out) {
    for (int n = 0; n < UploadFrameCount; ++n)
        out << wireText(request.frame(n)) << '\n';
}
