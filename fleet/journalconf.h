#pragma once

#include <QList>
#include <QString>

#include <optional>
#include <utility>

// journal.conf: the shared journal a folder's records are forwarded to, or that an office reads.
//
//   [shared]
//   connection = host=db.example dbname=boards user=gate_north sslmode=verify-full
//   site = gate-north
//
// connection is a libpq keyword/value string, passed on whole; a password never belongs in it
// (libpq's ~/.pgpass, PGPASSFILE or a service file hold it). Over TCP the server's certificate
// is checked (sslmode=verify-full, added when the string sets no sslmode); a weaker sslmode is
// refused unless "insecure = yes" says it is meant. site names this folder's records in the
// shared journal (the host name when not given). Comments begin with ";" or "#".
struct SharedJournalConfig {
    QString path;
    QString connection; // as the file gives it
    QString site;
    bool siteGiven = false; // the file names the site: the server must know the login so
    bool insecure = false;  // insecure = yes: a weaker sslmode than verify-full over TCP is meant
};

namespace JournalConf {

inline constexpr QLatin1StringView FileName("journal.conf");
// A few lines; anything bigger is a mistake.
inline constexpr qint64 MaxFileSize = 64 * 1024;
// The most a shared journal's statement may take, unless the connection says otherwise.
inline constexpr int StatementTimeoutMs = 30'000;

// Up to 63 letters, digits, '.', '_' and '-', beginning with a letter or digit.
bool isSiteName(const QString &name);

// The configuration at path; nothing when nothing at all has that name. Throws Failure when the
// file cannot be read or holds a bad line (every bad line is named, with the file and line).
std::optional<SharedJournalConfig> read(const QString &path);
SharedJournalConfig parse(const QString &text, const QString &path);

// The keywords and values of a libpq keyword/value string, in order; nothing when it is not one.
std::optional<QList<std::pair<QString, QString>>> connectionKeywords(const QString &connection);
// Whether libpq reaches the server over TCP: a host that is not a socket's folder, or a
// hostaddr, in the string or, when it sets neither, in PGHOST or PGHOSTADDR.
bool overTcp(const QList<std::pair<QString, QString>> &keywords);
// The connection as it is opened: the given string with what it does not set itself added, so
// that the server is the one named over TCP (sslmode=verify-full) and that a server that does
// not answer is given up on: connect_timeout=2, tcp_user_timeout and a statement_timeout through
// options, and the program's name.
QString withTimeouts(const QString &connection, const QString &applicationName);
// libpq's words for a connection that failed, with what to do when they are about TLS: its own
// advice to weaken sslmode replaced by where the CA's certificate is named.
QString explainedFailure(const QString &words);

} // namespace JournalConf
