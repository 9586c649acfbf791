#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSaveFile>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVersionNumber>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <pwd.h>
#include <unistd.h>

// A throwaway PostgreSQL cluster for tests and benches: initialised into a temporary folder,
// listening on a Unix socket in that folder (never on the system cluster's socket), and on TCP
// only when asked for TLS (PgClusterTls), and gone with the object. The constructor initialises and
// starts it; ok() says whether that (and every later start or stop) went well, problem() what
// failed, with the tools' own words.
//
// The role "postgres" logs in without a password; every other role must give its password
// (scram-sha-256), so that a test can see a wrong one refused. initdb and pg_ctl refuse to run as
// root, so under root the server runs as the system's "postgres" user, which owns the folder.
//
//     PgCluster cluster;
//     if (!cluster.ok())
//         QFAIL(qPrintable(cluster.problem()));
//     QVERIFY2(cluster.psql("CREATE ROLE site LOGIN PASSWORD 'secret'"),
//              qPrintable(cluster.problem()));
// A cluster that also listens on 127.0.0.1, TLS only: a CA and a server certificate for
// certificateHost are made with openssl in the cluster's folder, and TCP logins are let in by
// hba's lines (hostssl ...) alone.
struct PgClusterTls {
    QString certificateHost = QStringLiteral("localhost");
    QStringList hba;
};

class PgCluster {
public:
    explicit PgCluster(std::optional<PgClusterTls> tls = std::nullopt)
        : m_tls(std::move(tls)) {
        m_failed = !initialise() || !start();
    }

    ~PgCluster() {
        // Immediate: a test that failed half-way may leave sessions open, and nothing in the
        // cluster is worth keeping.
        if (m_started || QFileInfo::exists(dataDir() + QStringLiteral("/postmaster.pid")))
            serverTool(QStringLiteral("pg_ctl"),
                       {QStringLiteral("stop"), QStringLiteral("-D"), dataDir(),
                        QStringLiteral("-m"), QStringLiteral("immediate"), QStringLiteral("-w")});
    }

    PgCluster(const PgCluster &) = delete;
    PgCluster &operator=(const PgCluster &) = delete;

    bool ok() const { return !m_failed; }
    // The last failure: initdb's or pg_ctl's (with the server's log), or psql's.
    QString problem() const { return m_problem; }

    QString socketDir() const { return m_folder.path(); }
    // The certificate of the CA that signed the server's (with PgClusterTls).
    QString caCertificate() const { return m_folder.filePath(QStringLiteral("ca.crt")); }
    int port() const { return m_port; }

    // A libpq keyword/value string for the cluster's socket.
    QString connection(const QString &user,
                       const QString &database = QStringLiteral("postgres")) const {
        return QStringLiteral("host=%1 port=%2 dbname=%3 user=%4")
            .arg(quoted(socketDir()), QString::number(m_port), quoted(database), quoted(user));
    }

    bool start() {
        if (m_started)
            return true;
        if (!m_initialised)
            return false;
        const Outcome outcome = serverTool(
            QStringLiteral("pg_ctl"),
            {QStringLiteral("start"), QStringLiteral("-D"), dataDir(), QStringLiteral("-l"),
             logPath(), QStringLiteral("-w"), QStringLiteral("-t"), QStringLiteral("60")});
        if (!outcome.succeeded) {
            failWith(QStringLiteral("pg_ctl start failed: %1\n%2").arg(outcome.said, serverLog()));
            return false;
        }
        m_started = true;
        m_failed = false;
        return true;
    }

    // Fast: sessions are ended, and the server is down when this returns.
    bool stop() {
        if (!m_started)
            return true;
        const Outcome outcome =
            serverTool(QStringLiteral("pg_ctl"),
                       {QStringLiteral("stop"), QStringLiteral("-D"), dataDir(),
                        QStringLiteral("-m"), QStringLiteral("fast"), QStringLiteral("-w"),
                        QStringLiteral("-t"), QStringLiteral("60")});
        if (!outcome.succeeded) {
            failWith(QStringLiteral("pg_ctl stop failed: %1").arg(outcome.said));
            return false;
        }
        m_started = false;
        return true;
    }

    bool restart() { return stop() && start(); }

    // Runs the statements through psql, stopping at the first error; output holds what they
    // printed (unaligned, without headers or the last line end). A password goes to psql's
    // environment only, never on its command line.
    bool psql(const QString &sql, QString *output = nullptr,
              const QString &user = QStringLiteral("postgres"), const QString &password = {}) {
        QProcessEnvironment environment = toolEnvironment();
        if (!password.isEmpty())
            environment.insert(QStringLiteral("PGPASSWORD"), password);
        const Outcome outcome =
            run(QStringLiteral("psql"), tool(QStringLiteral("psql")),
                {QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-w"),
                 QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-At"),
                 QStringLiteral("-d"), connection(user)},
                environment, sql.toUtf8());
        if (output) {
            *output = outcome.out;
            if (output->endsWith(u'\n'))
                output->chop(1);
        }
        if (!outcome.succeeded)
            m_problem = QStringLiteral("psql as %1 failed: %2").arg(user, outcome.said);
        return outcome.succeeded;
    }

private:
    struct Outcome {
        bool succeeded = false;
        QString out;
        QString said; // standard error, or why the program did not run
    };

    QString dataDir() const { return m_folder.filePath(QStringLiteral("data")); }
    QString logPath() const { return m_folder.filePath(QStringLiteral("server.log")); }
    QString tool(const QString &name) const { return m_binDir + u'/' + name; }

    void failWith(const QString &problem) {
        m_failed = true;
        m_problem = problem;
    }

    // A value libpq reads as one word, whatever it holds.
    static QString quoted(QString value) {
        if (!value.isEmpty() && !value.contains(u' ') && !value.contains(u'\'') &&
            !value.contains(u'\\') && !value.contains(u'='))
            return value;
        value.replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'"));
        return u'\'' + value + u'\'';
    }

    // The server's programs: the directory pg_config names if it holds initdb (pg_config may
    // come from a client package of another version), else the highest installed version.
    static QString findBinDir() {
        QProcess config;
        config.start(QStringLiteral("pg_config"), {QStringLiteral("--bindir")});
        if (config.waitForFinished(10000) && config.exitStatus() == QProcess::NormalExit &&
            config.exitCode() == 0) {
            const QString dir = QString::fromLocal8Bit(config.readAllStandardOutput()).trimmed();
            if (QFileInfo(dir + QStringLiteral("/initdb")).isExecutable())
                return dir;
        }
        QString best;
        QVersionNumber bestVersion;
        const QDir versions(QStringLiteral("/usr/lib/postgresql"));
        for (const QString &entry : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QVersionNumber version = QVersionNumber::fromString(entry);
            const QString dir = versions.filePath(entry + QStringLiteral("/bin"));
            if (!version.isNull() && version > bestVersion &&
                QFileInfo(dir + QStringLiteral("/initdb")).isExecutable()) {
                best = dir;
                bestVersion = version;
            }
        }
        return best;
    }

    // Nothing from the caller's environment may point the tools elsewhere (PGDATA, PGHOST,
    // PGPORT, PGPASSWORD, a service file, ~/.pgpass), and their messages are in English.
    QProcessEnvironment toolEnvironment() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const QString &name : environment.keys())
            if (name.startsWith(QStringLiteral("PG")))
                environment.remove(name);
        environment.insert(QStringLiteral("PGPASSFILE"),
                           m_folder.filePath(QStringLiteral("no-passwords")));
        environment.insert(QStringLiteral("PGCLIENTENCODING"), QStringLiteral("UTF8"));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        return environment;
    }

    // name: the tool as messages call it, which may differ from the program that runs it.
    Outcome run(const QString &name, const QString &program, const QStringList &arguments,
                const QProcessEnvironment &environment, const QByteArray &input = {}) const {
        QProcess process;
        process.setProcessEnvironment(environment);
        // The server's user may not be allowed into the test's working directory.
        process.setWorkingDirectory(m_folder.path());
        process.start(program, arguments);
        if (!process.waitForStarted(10000))
            return {
                false, {}, QStringLiteral("cannot run %1: %2").arg(program, process.errorString())};
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(120000)) {
            process.kill();
            process.waitForFinished();
            return {false, {}, QStringLiteral("%1 did not finish in 120 s").arg(name)};
        }
        const QString out = QString::fromUtf8(process.readAllStandardOutput());
        const QString err = QString::fromUtf8(process.readAllStandardError()).trimmed();
        if (process.exitStatus() != QProcess::NormalExit)
            return {false, out, QStringLiteral("%1 crashed: %2").arg(name, err)};
        if (process.exitCode() != 0)
            return {false, out,
                    QStringLiteral("%1 exited %2: %3")
                        .arg(name, QString::number(process.exitCode()), err)};
        return {true, out, err};
    }

    // initdb, pg_ctl and the server they start run as the server's user.
    Outcome serverTool(const QString &name, const QStringList &arguments) const {
        if (!m_asUser.isEmpty())
            return run(name, m_asUser.first(),
                       m_asUser.mid(1) + QStringList{tool(name)} + arguments, toolEnvironment());
        return run(name, tool(name), arguments, toolEnvironment());
    }

    // Written whole and given to the server's user, who must read it.
    bool writeServerFile(const QString &path, const QByteArray &bytes) {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() ||
            !file.commit()) {
            failWith(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
            return false;
        }
        if (m_serverUser && ::chown(QFile::encodeName(path).constData(), m_serverUser->uid,
                                    m_serverUser->gid) != 0) {
            failWith(QStringLiteral("cannot give %1 to the postgres user: %2")
                         .arg(path, QString::fromLocal8Bit(strerror(errno))));
            return false;
        }
        return true;
    }

    bool initialise() {
        if (!m_folder.isValid()) {
            failWith(QStringLiteral("cannot make a folder for the cluster: %1")
                         .arg(m_folder.errorString()));
            return false;
        }
        m_binDir = findBinDir();
        if (m_binDir.isEmpty()) {
            failWith(QStringLiteral("no PostgreSQL server: neither pg_config --bindir nor "
                                    "/usr/lib/postgresql/*/bin holds initdb (scripts/setup "
                                    "installs the postgresql package)"));
            return false;
        }
        // The socket's path must fit in sockaddr_un (107 bytes) with ".s.PGSQL.<port>.lock".
        if (QFile::encodeName(m_folder.path()).size() > 80) {
            failWith(QStringLiteral("the cluster's folder %1 is too long a path for a socket; "
                                    "set TMPDIR to a shorter one")
                         .arg(m_folder.path()));
            return false;
        }
        if (m_folder.path().contains(u',')) {
            failWith(QStringLiteral("the cluster's folder %1 holds a comma, which the server "
                                    "reads as a list of socket folders")
                         .arg(m_folder.path()));
            return false;
        }
        // Others may reach the socket (a test may run a program as another user); the data
        // folder inside stays the server's alone.
        QFile::setPermissions(m_folder.path(), QFile::ReadOwner | QFile::WriteOwner |
                                                   QFile::ExeOwner | QFile::ReadGroup |
                                                   QFile::ExeGroup | QFile::ReadOther |
                                                   QFile::ExeOther);
        if (::geteuid() == 0 && !takeServerUser())
            return false;

        const Outcome made = serverTool(
            QStringLiteral("initdb"),
            {QStringLiteral("-D"), dataDir(), QStringLiteral("-U"), QStringLiteral("postgres"),
             QStringLiteral("-E"), QStringLiteral("UTF8"), QStringLiteral("--locale=C"),
             QStringLiteral("--no-sync"), QStringLiteral("--auth=trust")});
        if (!made.succeeded) {
            failWith(QStringLiteral("initdb failed: %1").arg(made.said));
            return false;
        }
        if (m_tls && !makeCertificates())
            return false;
        const QString tlsSettings =
            QStringLiteral("listen_addresses = '127.0.0.1'\nssl = on\nssl_cert_file = '%1'\n"
                           "ssl_key_file = '%2'\n")
                .arg(m_folder.filePath(QStringLiteral("server.crt")).replace(u'\'', "''"),
                     m_folder.filePath(QStringLiteral("server.key")).replace(u'\'', "''"));
        const QString settings =
            QStringLiteral("\n# A throwaway cluster: its own socket, TCP only with TLS.\n"
                           "%3"
                           "unix_socket_directories = '%1'\n"
                           "port = %2\n"
                           "fsync = off\n"
                           "full_page_writes = off\n"
                           "password_encryption = 'scram-sha-256'\n")
                .arg(QString(m_folder.path()).replace(u'\'', "''"), QString::number(m_port),
                     m_tls ? tlsSettings : QStringLiteral("listen_addresses = ''\n"));
        const QString configPath = dataDir() + QStringLiteral("/postgresql.conf");
        QFile config(configPath);
        if (!config.open(QIODevice::ReadOnly)) {
            failWith(QStringLiteral("cannot read %1: %2").arg(configPath, config.errorString()));
            return false;
        }
        if (!writeServerFile(configPath, config.readAll() + settings.toUtf8()) ||
            !writeServerFile(dataDir() + QStringLiteral("/pg_hba.conf"),
                             "local all postgres trust\nlocal all all scram-sha-256\n" +
                                 (m_tls ? m_tls->hba.join(u'\n').toUtf8() + '\n' : QByteArray())))
            return false;
        m_initialised = true;
        return true;
    }

    // A CA, and a certificate for the server's name that it signed; the server's key is the
    // server's user's alone, or the server refuses it.
    bool makeCertificates() {
        const QString curve = QStringLiteral("ec_paramgen_curve:prime256v1");
        const QString host = m_tls->certificateHost;
        const QList<QStringList> steps{
            {"req", "-x509", "-newkey", "ec", "-pkeyopt", curve, "-nodes", "-keyout", "ca.key",
             "-out", "ca.crt", "-days", "2", "-subj", "/CN=throwaway CA"},
            {"req", "-new", "-newkey", "ec", "-pkeyopt", curve, "-nodes", "-keyout", "server.key",
             "-out", "server.csr", "-subj", "/CN=" + host, "-addext", "subjectAltName=DNS:" + host},
            {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
             "-CAcreateserial", "-days", "2", "-copy_extensions", "copy", "-out", "server.crt"}};
        for (const QStringList &step : steps) {
            const Outcome made =
                run(QStringLiteral("openssl"), QStringLiteral("openssl"), step, toolEnvironment());
            if (!made.succeeded) {
                failWith(QStringLiteral("openssl %1 failed: %2").arg(step.first(), made.said));
                return false;
            }
        }
        const QString key = m_folder.filePath(QStringLiteral("server.key"));
        QFile::setPermissions(key, QFile::ReadOwner | QFile::WriteOwner);
        QFile file(key);
        if (!file.open(QIODevice::ReadOnly)) {
            failWith(QStringLiteral("cannot read %1: %2").arg(key, file.errorString()));
            return false;
        }
        return writeServerFile(key, file.readAll());
    }

    // Under root: the folder goes to the postgres user, and the tools run as it.
    bool takeServerUser() {
        const passwd *entry = ::getpwnam("postgres");
        if (!entry) {
            failWith(QStringLiteral("running as root, but there is no postgres user to run the "
                                    "server as (initdb refuses root)"));
            return false;
        }
        m_serverUser = ServerUser{entry->pw_uid, entry->pw_gid};
        if (::chown(QFile::encodeName(m_folder.path()).constData(), entry->pw_uid, entry->pw_gid) !=
            0) {
            failWith(QStringLiteral("cannot give %1 to the postgres user: %2")
                         .arg(m_folder.path(), QString::fromLocal8Bit(strerror(errno))));
            return false;
        }
        const QStringList systemDirs{QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"),
                                     QStringLiteral("/usr/bin"), QStringLiteral("/bin")};
        QString runuser = QStandardPaths::findExecutable(QStringLiteral("runuser"));
        if (runuser.isEmpty())
            runuser = QStandardPaths::findExecutable(QStringLiteral("runuser"), systemDirs);
        if (!runuser.isEmpty()) {
            m_asUser = {runuser, QStringLiteral("-u"), QStringLiteral("postgres"),
                        QStringLiteral("--")};
            return true;
        }
        QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty())
            setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"), systemDirs);
        if (setpriv.isEmpty()) {
            failWith(QStringLiteral("running as root, but neither runuser nor setpriv is there "
                                    "to run the server as the postgres user"));
            return false;
        }
        m_asUser = {setpriv, QStringLiteral("--reuid=postgres"), QStringLiteral("--regid=postgres"),
                    QStringLiteral("--init-groups"), QStringLiteral("--")};
        return true;
    }

    // Any port number will do, since it only names the socket in a folder of our own; one
    // from the process id and a count keeps the server's shared-memory keys apart too.
    static int choosePort() {
        static std::atomic<int> made{0};
        return 20000 + int((QCoreApplication::applicationPid() * 7 + made++) % 40000);
    }

    // The server's own words when it would not start.
    QString serverLog() const {
        QFile log(logPath());
        if (!log.open(QIODevice::ReadOnly))
            return {};
        const qint64 size = log.size();
        if (size > 4000)
            log.seek(size - 4000);
        return QString::fromUtf8(log.readAll()).trimmed();
    }

    struct ServerUser {
        uid_t uid;
        gid_t gid;
    };

    const std::optional<PgClusterTls> m_tls;
    QTemporaryDir m_folder{QDir::tempPath() + QStringLiteral("/pgcluster-XXXXXX")};
    const int m_port = choosePort();
    QString m_binDir;
    QStringList m_asUser; // the command that runs a program as the server's user, when root
    std::optional<ServerUser> m_serverUser;
    bool m_initialised = false;
    bool m_started = false;
    bool m_failed = true;
    QString m_problem;
};
