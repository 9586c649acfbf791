#include "journalforwarder.h"

#include "configstore.h"
#include "journalconf.h"
#include "regularfile.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcForward, "display.forward", QtWarningMsg)

JournalForwarder::JournalForwarder(QString configPath)
    : m_configPath(std::move(configPath)) {}

bool JournalForwarder::jobEnded() const {
    if (RegularFile::absent(ConfigStore::besideConfig(m_configPath, JournalConf::FileName)))
        return false;
    const QString program = sendProgram();
    if (program.isEmpty()) {
        qCWarning(lcForward) << "display-send was not found; the journal is not forwarded";
        return false;
    }
    const QStringList arguments{QStringLiteral("--forward"), QStringLiteral("--config"),
                                m_configPath};
    if (!QProcess::startDetached(program, arguments)) {
        qCWarning(lcForward).noquote() << "could not start" << program;
        return false;
    }
    qCDebug(lcForward).noquote() << "started" << program << arguments.join(u' ');
    return true;
}

QString JournalForwarder::sendProgram() {
    const QString name = QStringLiteral("display-send");
    const QString here = QCoreApplication::applicationDirPath();
    QString found = QStandardPaths::findExecutable(name, {here});
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(name);
    if (found.isEmpty())
        found =
            QStandardPaths::findExecutable(name, {QDir(here).filePath(QStringLiteral("../send"))});
    return found;
}
