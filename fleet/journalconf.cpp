#include "journalconf.h"

#include "bytetext.h"
#include "failure.h"
#include "inifile.h"
#include "regularfile.h"

#include <QDir>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>

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

using Keywords = QList<std::pair<QString, QString>>;

// The value of a libpq keyword, the last one given winning as in libpq.
std::optional<QString> keywordValue(const Keywords &keywords, QLatin1StringView key) {
    std::optional<QString> found;
    for (const auto &[name, value] : keywords) {
        if (name == key)
            found = value;
    }
    return found;
}

constexpr QLatin1StringView CheckedSslMode("verify-full");

// Where libpq looks for a service: the user's file, then the system's (Debian's libpq is built
// with /etc/postgresql-common as its configuration folder).
QStringList serviceFiles() {
    return {qEnvironmentVariable("PGSERVICEFILE",
                                 QDir::homePath() + QLatin1String("/.pg_service.conf")),
            qEnvironmentVariable("PGSYSCONFDIR", QStringLiteral("/etc/postgresql-common")) +
                QLatin1String("/pg_service.conf")};
}

// A connection as libpq reads it: the keywords of the service it names (service=, else
// PGSERVICE), from the first file that has it, then its own, which win. A service file that
// cannot be read adds nothing here; libpq says what is wrong with it when it connects.
Keywords withService(const Keywords &keywords) {
    const QString name = keywordValue(keywords, QLatin1StringView("service"))
                             .value_or(qEnvironmentVariable("PGSERVICE"));
    if (name.isEmpty())
        return keywords;
    for (const QString &path : serviceFiles()) {
        QByteArray bytes;
        try {
            if (RegularFile::absent(path))
                continue;
            bytes = RegularFile::read(path, MaxFileSize);
        } catch (const Failure &) {
            continue;
        }
        std::optional<Keywords> found;
        for (const IniLine &line : IniFile::lines(QString::fromUtf8(bytes))) {
            if (line.kind == IniLine::Kind::Section) {
                if (found)
                    break;
                if (line.name == name)
                    found.emplace();
            } else if (found && line.kind == IniLine::Kind::Entry) {
                found->append({line.key.toLower(), line.value});
            }
        }
        if (found)
            return *found + keywords;
    }
    return keywords;
}

// What is wrong with the TLS a connection asks for, empty when nothing is: over TCP anything
// short of verify-full lets a server that is not the one named take the login's password or
// read the records.
QString sslProblem(const Keywords &keywords, bool insecure) {
    static const QStringList modes{QStringLiteral("disable"),   QStringLiteral("allow"),
                                   QStringLiteral("prefer"),    QStringLiteral("require"),
                                   QStringLiteral("verify-ca"), CheckedSslMode};
    const std::optional<QString> mode = keywordValue(keywords, QLatin1StringView("sslmode"));
    if (!mode)
        return {};
    if (!modes.contains(*mode))
        return QStringLiteral("sslmode \"%1\" is not one of %2")
            .arg(quoted(*mode), modes.join(QStringLiteral(", ")));
    if (insecure || *mode == CheckedSslMode || !overTcp(keywords))
        return {};
    return QStringLiteral("sslmode=%1 over TCP does not make sure that the password and the "
                          "records reach only the server named, encrypted; leave sslmode out "
                          "(verify-full is used) and name the certificate of the server's CA "
                          "with sslrootcert=, or say insecure = yes if this is meant")
        .arg(*mode);
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
    std::optional<int> insecureLine;
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
        } else if (key == QLatin1String("insecure") && !insecureLine) {
            insecureLine = line;
            const QString answer = value.toLower();
            config.insecure = answer == QLatin1String("yes");
            if (!config.insecure && answer != QLatin1String("no"))
                bad(line, QStringLiteral("insecure is \"%1\"; it is yes or no").arg(quoted(value)));
        } else if (key == QLatin1String("connection") || key == QLatin1String("site") ||
                   key == QLatin1String("insecure")) {
            bad(line, QStringLiteral("%1 is given again").arg(key));
        } else {
            bad(line, QStringLiteral("\"%1\" is not a key of [shared] (connection, site, "
                                     "insecure)")
                          .arg(quoted(key)));
        }
    }
    if (connectionLine && problems.isEmpty()) {
        const QString problem =
            sslProblem(withService(connectionKeywords(config.connection).value_or(Keywords())),
                       config.insecure);
        if (!problem.isEmpty())
            bad(*connectionLine, problem);
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

bool overTcp(const Keywords &keywords) {
    const auto given = [&keywords](QLatin1StringView key, const char *variable) {
        return keywordValue(keywords, key).value_or(qEnvironmentVariable(variable));
    };
    if (!given(QLatin1StringView("hostaddr"), "PGHOSTADDR").isEmpty())
        return true;
    // A list of hosts is tried in turn; a socket is named by its folder, or "@" and a name in
    // the abstract namespace.
    const QStringList hosts = given(QLatin1StringView("host"), "PGHOST").split(QLatin1Char(','));
    return std::any_of(hosts.cbegin(), hosts.cend(), [](const QString &host) {
        return !host.isEmpty() && !host.startsWith(u'/') && !host.startsWith(u'@');
    });
}

QString explainedFailure(const QString &words) {
    if (words.contains(QLatin1String("root certificate file"))) {
        // libpq offers a weaker sslmode as a way out: the way out is the CA's certificate.
        QStringList lines = words.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        lines.removeIf([](const QString &line) { return line.contains(QLatin1String("sslmode")); });
        return QStringLiteral("%1; the server's certificate is checked against the certificate "
                              "of the CA that signed it: copy that to this machine and name it "
                              "with sslrootcert= in journal.conf's connection, or with "
                              "PGSSLROOTCERT (without either, libpq looks in "
                              "~/.postgresql/root.crt of the user that runs the program)")
            .arg(lines.join(QLatin1Char(' ')));
    }
    if (words.contains(QLatin1String("server does not support SSL")))
        return QStringLiteral("%1; the server's administrator turns ssl on, with a certificate "
                              "for the name in host=")
            .arg(words.trimmed());
    return words;
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
    // libpq's own default, prefer, takes whatever answers on the host's address.
    const Keywords read = withService(given);
    if (!keywordValue(read, QLatin1StringView("sslmode")) && overTcp(read))
        add(QLatin1StringView("sslmode"), CheckedSslMode);
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
