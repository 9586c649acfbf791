#include "journalconf.h"

#include "bytetext.h"
#include "failure.h"
#include "inifile.h"
#include "regularfile.h"

#include <QRegularExpression>
#include <QSysInfo>

namespace JournalConf {

namespace {

QString quotedValue(const QString &value) {
    static const QRegularExpression plain(QStringLiteral(R"(^[^\s'\\]+$)"));
    if (plain.match(value).hasMatch())
        return value;
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + escaped + QLatin1Char('\'');
}

// What is wrong with a connection string, empty when nothing is.
QString connectionProblem(const QString &connection) {
    if (connection.isEmpty())
        return QStringLiteral("connection is empty");
    // Qt's driver turns every ";" into a space, which would change what the string says.
    if (connection.contains(QLatin1Char(';')))
        return QStringLiteral("connection holds a \";\", which the database driver cannot pass on");
    const auto keywords = connectionKeywords(connection);
    if (!keywords)
        return QStringLiteral("connection is not a keyword/value string such as "
                              "\"host=db.example dbname=boards user=gate_north\"");
    // libpq's keywords that hold a secret: the server's password and the client key's
    // passphrase.
    static const QStringList secrets{QStringLiteral("password"), QStringLiteral("sslpassword")};
    for (const auto &[key, value] : *keywords) {
        if (secrets.contains(key))
            return QStringLiteral("connection holds a password; keep it in ~/.pgpass, a file "
                                  "named by PGPASSFILE, or a service file instead");
    }
    return {};
}

} // namespace

bool isSiteName(const QString &name) {
    static const QRegularExpression siteName(
        QStringLiteral(R"(^[A-Za-z0-9][A-Za-z0-9._-]{0,62}$)"));
    return siteName.match(name).hasMatch();
}

std::optional<SharedJournalConfig> read(const QString &path) {
    if (RegularFile::absent(path))
        return std::nullopt;
    return parse(QString::fromUtf8(RegularFile::read(path, MaxFileSize)), path);
}

SharedJournalConfig parse(const QString &source, const QString &path) {
    SharedJournalConfig config;
    config.path = path;
    QStringList problems;
    const auto bad = [&](int line, const QString &why) {
        problems << IniFile::lineProblem(path, line, why);
    };
    bool inShared = false;
    bool sectionSeen = false;
    std::optional<int> connectionLine;
    std::optional<QString> site;
    for (const IniLine &entry : IniFile::lines(source)) {
        const int line = entry.number;
        if (entry.kind == IniLine::Kind::Section) {
            inShared = entry.closed && entry.name == QLatin1String("shared");
            if (!inShared)
                bad(line, QStringLiteral("\"%1\" is not a section of journal.conf; it has "
                                         "[shared] only")
                              .arg(quoted(entry.text)));
            else if (sectionSeen)
                bad(line, QStringLiteral("[shared] is named again"));
            sectionSeen = sectionSeen || inShared;
            continue;
        }
        if (entry.kind == IniLine::Kind::Other) {
            bad(line, QStringLiteral("not a KEY = VALUE line"));
            continue;
        }
        if (!sectionSeen) {
            bad(line, QStringLiteral("a key before the [shared] section"));
            continue;
        }
        if (!inShared)
            continue; // said at its section
        const QString key = entry.key.toLower();
        const QString &value = entry.value;
        // A backslash at the end escapes whatever is joined after the value (the connection's
        // own timeouts among them).
        if (value.endsWith(u'\\')) {
            bad(line, QStringLiteral("%1 ends in a backslash").arg(quoted(key)));
            continue;
        }
        if (key == QLatin1String("connection") && !connectionLine) {
            connectionLine = line;
            config.connection = value;
            if (const QString problem = connectionProblem(value); !problem.isEmpty())
                bad(line, problem);
        } else if (key == QLatin1String("site") && !site) {
            site = value;
            if (!isSiteName(value))
                bad(line, QStringLiteral("site \"%1\" is not a name of up to 63 letters, digits, "
                                         "\".\", \"_\" and \"-\"")
                              .arg(quoted(value)));
        } else if (key == QLatin1String("connection") || key == QLatin1String("site")) {
            bad(line, QStringLiteral("%1 is given again").arg(key));
        } else {
            bad(line, QStringLiteral("\"%1\" is not a key of [shared] (connection, site)")
                          .arg(quoted(key)));
        }
    }
    if (!connectionLine && problems.isEmpty())
        problems << QStringLiteral("%1: no connection = ... in a [shared] section").arg(path);
    if (!problems.isEmpty())
        throw Failure(problems.join(QLatin1Char('\n')));
    config.site = site ? *site : QSysInfo::machineHostName();
    config.siteGiven = site.has_value();
    return config;
}

std::optional<QList<std::pair<QString, QString>>> connectionKeywords(const QString &connection) {
    QList<std::pair<QString, QString>> keywords;
    qsizetype at = 0;
    const qsizetype size = connection.size();
    const auto skipSpace = [&] {
        while (at < size && connection.at(at).isSpace())
            ++at;
    };
    for (skipSpace(); at < size; skipSpace()) {
        const qsizetype keyStart = at;
        while (at < size && (connection.at(at).isLetterOrNumber() || connection.at(at) == u'_'))
            ++at;
        QString key = connection.sliced(keyStart, at - keyStart);
        skipSpace();
        if (key.isEmpty() || at >= size || connection.at(at) != u'=')
            return std::nullopt;
        ++at;
        skipSpace();
        QString value;
        if (at < size && connection.at(at) == u'\'') {
            for (++at;; ++at) {
                if (at >= size)
                    return std::nullopt; // no closing quote
                const QChar c = connection.at(at);
                if (c == u'\'')
                    break;
                if (c == u'\\' && at + 1 < size)
                    ++at;
                value += connection.at(at);
            }
            ++at;
        } else {
            for (; at < size && !connection.at(at).isSpace(); ++at) {
                if (connection.at(at) == u'\\' && at + 1 < size)
                    ++at;
                value += connection.at(at);
            }
        }
        keywords.append({key.toLower(), value});
    }
    return keywords;
}

QString withTimeouts(const QString &connection, const QString &applicationName) {
    const QList<std::pair<QString, QString>> given =
        connectionKeywords(connection).value_or(QList<std::pair<QString, QString>>{});
    const auto find = [&given](QLatin1StringView key) -> std::optional<QString> {
        for (const auto &[name, value] : given) {
            if (name == key)
                return value;
        }
        return std::nullopt;
    };
    QString opened = connection;
    const auto add = [&opened](QLatin1StringView key, const QString &value) {
        opened += QLatin1Char(' ') + key + QLatin1Char('=') + quotedValue(value);
    };
    if (!find(QLatin1StringView("connect_timeout")))
        add(QLatin1StringView("connect_timeout"), QStringLiteral("2"));
    // A server that stops acknowledging what is sent is given up on after 10 s.
    if (!find(QLatin1StringView("tcp_user_timeout")))
        add(QLatin1StringView("tcp_user_timeout"), QStringLiteral("10000"));
    if (!find(QLatin1StringView("application_name")))
        add(QLatin1StringView("application_name"), applicationName);
    const QString statementTimeout =
        QStringLiteral("-c statement_timeout=%1").arg(StatementTimeoutMs);
    if (const std::optional<QString> options = find(QLatin1StringView("options"))) {
        // A later keyword wins in libpq: the options given, with the timeout added unless set.
        if (!options->contains(QLatin1String("statement_timeout")))
            add(QLatin1StringView("options"), *options + QLatin1Char(' ') + statementTimeout);
    } else {
        add(QLatin1StringView("options"), statementTimeout);
    }
    return opened;
}

} // namespace JournalConf
