#include "journalsql.h"

#include "pageset.h"

using namespace journal_detail;

namespace {

QString oneLine(QString text) {
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char(' ');
    }
    return text.simplified();
}

// Stored text as a terminal may be shown it: a backslash as \\, control characters (C1 and
// DEL included) as \xNN, line separators and invisible format characters (a right-to-left
// override) as \uNNNN, so a device name or an error text can neither move the cursor nor split
// or disguise a record.
QString terminalText(const QString &text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\\')
            shown += QLatin1String("\\\\");
        else if (u < 0x20 || (u >= 0x7f && u < 0xa0))
            shown += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        else if (c.category() == QChar::Other_Format || c.category() == QChar::Separator_Line ||
                 c.category() == QChar::Separator_Paragraph)
            shown += QStringLiteral("\\u%1").arg(int(u), 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

} // namespace

QDebug operator<<(QDebug debug, const JournalRecord &record) {
    QDebugStateSaver saver(debug);
    debug.nospace() << "JournalRecord(" << record.id << ", " << isoTime(record.started) << " to "
                    << (record.finished ? isoTime(*record.finished) : QStringLiteral("-")) << ", "
                    << record.program << ' ' << record.job << ", port " << record.port << ' '
                    << record.device << ", "
                    << record.outcome.value_or(QStringLiteral("unfinished"));
    if (record.error)
        debug << " (" << *record.error << ')';
    debug << ", " << record.frames << " frames, lights " << record.lights;
    if (record.delaySeconds)
        debug << ", delay " << *record.delaySeconds;
    if (record.rows)
        debug << ", " << record.rows->size() << " rows";
    debug << ')';
    return debug;
}

// ---- renderings --------------------------------------------------------------------------------

QString historyLine(const JournalRecord &record) {
    QStringList fields;
    fields << record.started.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (record.finished) {
        const qint64 ms = record.started.msecsTo(*record.finished);
        fields << QStringLiteral("%1 s").arg(double(ms) / 1000.0, 6, 'f', 1);
    } else {
        fields << QStringLiteral("     - ");
    }
    fields << terminalText(record.program).leftJustified(7)
           << terminalText(record.job).leftJustified(6);
    const QString device = terminalText(record.device);
    fields << (record.port > 0
                   ? QStringLiteral("COM %1 %2").arg(QString::number(record.port), device)
                   : device);
    fields << terminalText(record.outcome.value_or(QStringLiteral("unfinished")));
    fields << QStringLiteral("%1 frames").arg(record.frames);
    fields << QStringLiteral("lights %1").arg(terminalText(record.lights));
    if (record.error) {
        QString error = oneLine(*record.error);
        constexpr int Short = 60;
        if (error.size() > Short)
            error = error.left(Short - 3) + QStringLiteral("...");
        fields << terminalText(error);
    }
    return fields.join(QStringLiteral("  "));
}

namespace {

// text as a JSON string. JSON allows DEL and the C1 controls raw, and a terminal acts on them:
// they are escaped as the C0 ones must be. Written directly rather than through QJsonDocument:
// --history --json of a whole journal writes hundreds of thousands of records.
void appendJsonString(QByteArray &out, QStringView text) {
    out += '"';
    qsizetype plain = 0; // where the run of characters taken as they are began
    const char16_t *const chars = text.utf16();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = chars[i];
        const bool control = u < 0x20 || (u >= 0x7f && u < 0xa0);
        if (!control && u != u'"' && u != u'\\')
            continue;
        out += text.sliced(plain, i - plain).toUtf8();
        plain = i + 1;
        switch (u) {
        case u'"':
            out += "\\\"";
            break;
        case u'\\':
            out += "\\\\";
            break;
        case u'\b':
            out += "\\b";
            break;
        case u'\f':
            out += "\\f";
            break;
        case u'\n':
            out += "\\n";
            break;
        case u'\r':
            out += "\\r";
            break;
        case u'\t':
            out += "\\t";
            break;
        default:
            out += "\\u00";
            out += "0123456789abcdef"[u >> 4];
            out += "0123456789abcdef"[u & 0xf];
        }
    }
    out += text.sliced(plain).toUtf8();
    out += '"';
}

} // namespace

QByteArray historyJson(const JournalRecord &record) {
    QByteArray line;
    line.reserve(record.rows ? 4096 : 512);
    const auto key = [&line](const char *name) {
        line += line.isEmpty() ? "{\"" : ",\"";
        line += name;
        line += "\":";
    };
    const auto text = [&](const char *name, const std::optional<QString> &value) {
        key(name);
        if (value)
            appendJsonString(line, *value);
        else
            line += "null";
    };
    const auto number = [&](const char *name, const std::optional<int> &value) {
        key(name);
        line += value ? QByteArray::number(*value) : QByteArrayLiteral("null");
    };
    text("started", isoTime(record.started));
    text("finished", record.finished ? std::optional(isoTime(*record.finished)) : std::nullopt);
    text("program", record.program);
    text("job", record.job);
    number("port", record.port);
    text("device", record.device);
    text("outcome", record.outcome);
    text("error", record.error);
    number("frames", record.frames);
    text("lights", record.lights);
    number("delay", record.delaySeconds);
    key("rows");
    if (record.rows) {
        line += '[';
        for (qsizetype index = 0; index < record.rows->size(); ++index) {
            if (index > 0)
                line += ',';
            appendJsonString(line, record.rows->at(index));
        }
        line += ']';
    } else {
        line += "null";
    }
    line += '}';
    return line;
}

QString lastUploadSummary(const std::optional<JournalRecord> &upload) {
    if (!upload)
        return {};
    const QString when = upload->started.toLocalTime().toString(QStringLiteral("dd.MM.yyyy HH:mm"));
    QString result;
    if (!upload->finished || !upload->outcome) {
        result = QStringLiteral("it did not finish");
    } else if (*upload->outcome == QLatin1String("port-error")) {
        result = QStringLiteral("the port failed");
    } else if (*upload->outcome == QLatin1String("aborted")) {
        result = QStringLiteral("it was stopped before the end");
    } else {
        QStringList silent;
        for (int board = 1; board <= BoardAddress::Highest; ++board) {
            if (board >= upload->lights.size() || upload->lights.at(board) != QLatin1Char('g'))
                silent << QString::number(board);
        }
        if (silent.isEmpty())
            result = QStringLiteral("all boards answered");
        else if (silent.size() == BoardAddress::Highest)
            result = QStringLiteral("no board answered");
        else if (silent.size() == 1)
            result = QStringLiteral("board %1 did not answer").arg(silent.first());
        else
            result = QStringLiteral("boards %1 and %2 did not answer")
                         .arg(silent.mid(0, silent.size() - 1).join(QStringLiteral(", ")),
                              silent.last());
    }
    return QStringLiteral("Last sent %1; %2").arg(when, result);
}

QString lastUploadSummary(const QList<JournalRecord> &records) {
    for (const JournalRecord &record : records) {
        if (record.job == QLatin1String("upload"))
            return lastUploadSummary(std::optional<JournalRecord>(record));
    }
    return {};
}
