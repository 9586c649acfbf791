#include "sealverifier.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// What a walk over a sealed journal found, in words and in JSON, and the verification key's file.

namespace {

QString range(qint64 first, qint64 last) {
    return first == last
               ? QString::number(first)
               : QStringLiteral("%1–%2").arg(QString::number(first), QString::number(last));
}

} // namespace

QString sealTimeText(const QDateTime &time) {
    return time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'"));
}

const char *SealFinding::kindName(Kind kind) {
    switch (kind) {
    case Kind::PrecedeSealing:
        return "precedes-sealing";
    case Kind::Unfinished:
        return "unfinished";
    case Kind::Changed:
        return "changed";
    case Kind::Missing:
        return "missing";
    case Kind::NotSealed:
        return "not-sealed";
    case Kind::OutOfOrder:
        return "out-of-order";
    case Kind::LaterEpoch:
        return "later-epoch";
    case Kind::SealingChanged:
        return "sealing-changed";
    }
    return "";
}

QString SealFinding::text() const {
    const bool one = first == last;
    const QString records =
        (one ? QStringLiteral("record ") : QStringLiteral("records ")) + range(first, last);
    const QString more = detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail);
    switch (kind) {
    case Kind::PrecedeSealing:
        return QStringLiteral("%1 %2 sealing").arg(records, one ? "precedes" : "precede");
    case Kind::Unfinished:
        return QStringLiteral("%1 never ended (a crash, or a job still running); %2 sealed")
            .arg(records, one ? "its start is" : "their starts are");
    case Kind::Changed:
        return QStringLiteral("%1 %2 changed: %3 not match %4 seal%5")
            .arg(records, one ? "was" : "were", one ? "it does" : "they do", one ? "its" : "their",
                 more);
    case Kind::Missing:
        return QStringLiteral("%1 %2 missing").arg(records, one ? "is" : "are");
    case Kind::NotSealed:
        return QStringLiteral("%1 %2 not sealed: added, or written without the sealing key")
            .arg(records, one ? "is" : "are");
    case Kind::OutOfOrder:
        return one ? QStringLiteral("record %1 is out of order").arg(first)
                   : QStringLiteral("records %1 and %2 are out of order: each carries the "
                                    "other's seal")
                         .arg(QString::number(first), QString::number(last));
    case Kind::LaterEpoch:
        return QStringLiteral("%1 %2 sealed in a later epoch than %3 time belongs to%4")
            .arg(records, one ? "was" : "were", one ? "its" : "their", more);
    case Kind::SealingChanged:
        return QStringLiteral("the journal's sealing record (sealing from record %1) %2")
            .arg(QString::number(first), detail);
    }
    return {};
}

QByteArray SealFinding::json() const {
    return QByteArrayLiteral("{\"finding\":\"") + kindName(kind) +
           "\",\"first\":" + QByteArray::number(first) + ",\"last\":" + QByteArray::number(last) +
           ",\"breaks\":" + (breaks() ? "true" : "false") + ",\"text\":" + jsonString(text()) + '}';
}

QDebug operator<<(QDebug debug, const SealFinding &finding) {
    QDebugStateSaver saver(debug);
    debug.noquote().nospace() << "SealFinding(" << finding.text() << ')';
    return debug;
}

QString SealVerification::verifiedLine() const {
    if (verifiedThrough <= 0)
        return QStringLiteral("no sealed record verified");
    return QStringLiteral("verified through record %1 (%2): %3 sealed %4")
        .arg(QString::number(verifiedThrough), sealTimeText(verifiedTime),
             QString::number(sealedRecords),
             sealedRecords == 1 ? QStringLiteral("record") : QStringLiteral("records"));
}

QString SealVerification::summary() const {
    if (status == CannotVerify || !problem.isEmpty())
        return QStringLiteral("Seals not verified: %1.").arg(problem);
    const auto firstBreak =
        std::find_if(findings.cbegin(), findings.cend(),
                     [](const SealFinding &finding) { return finding.breaks(); });
    QString line = QStringLiteral("Seals: %1").arg(verifiedLine());
    if (firstBreak == findings.cend())
        return line + QStringLiteral("; every sealed record verifies.");
    return line + QStringLiteral("; first break: %1.").arg(firstBreak->text());
}

std::optional<SealKey> readVerificationKey(const QString &path, QString &problem) {
    QFile file(path);
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        problem = QStringLiteral("%1 is not a readable file").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    if (st.st_size > 4096 || !file.open(QIODevice::ReadOnly)) {
        problem =
            QStringLiteral("%1 holds no verification key").arg(QDir::toNativeSeparators(path));
        return std::nullopt;
    }
    const std::optional<SealKey> key =
        SealKey::fromVerificationText(QString::fromLatin1(file.read(4096)));
    if (!key)
        problem =
            QStringLiteral("%1 holds no verification key").arg(QDir::toNativeSeparators(path));
    return key;
}
