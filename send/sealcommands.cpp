#include "sealcommands.h"

#include "journal.h"
#include "sealverifier.h"
#include "sendoptions.h"
#include "sendstatus.h"

#include <QDir>

namespace SealCommands {

int init(Journal &journal, const SendOptions &options, QTextStream &out, const Error &error) {
    QString problem;
    const std::optional<QString> verificationKey =
        journal.startSealing(options.sealEpochSeconds, problem);
    if (!verificationKey) {
        error(QStringLiteral("sealing could not begin: %1").arg(problem));
        return BadInput;
    }
    out << QStringLiteral("Sealing began for %1; the sealing key is %2 (epochs of %3 s).\n"
                          "The verification key, printed this once:\n\n    %4\n\n"
                          "Keep it off this machine (at the office, with the inspector): whoever "
                          "has it can check the journal, and it is not kept here.\n")
               .arg(QDir::toNativeSeparators(journal.path()),
                    QDir::toNativeSeparators(journal.sealKeyPath()),
                    QString::number(options.sealEpochSeconds), *verificationKey);
    return AllAnswered;
}

int advance(Journal &journal, const Error &error) {
    const QString problem = journal.advanceSealing();
    if (problem.isEmpty())
        return AllAnswered;
    error(problem);
    return BadInput;
}

int verify(const QString &journalPath, const SendOptions &options, QTextStream &out,
           const Error &error) {
    QString problem;
    const std::optional<SealKey> key = readVerificationKey(options.verifyKeyPath, problem);
    if (!key) {
        error(problem);
        return BadInput;
    }
    return print(verifySeals(journalPath, *key), options, out, error);
}

int print(const SealVerification &verification, const SendOptions &options, QTextStream &out,
          const Error &error) {
    if (verification.status == SealVerification::CannotVerify) {
        error(verification.problem);
        return BadInput;
    }
    if (!verification.problem.isEmpty()) {
        error(verification.problem);
        return SomeDidNotAnswer;
    }
    if (options.json) {
        out << "{\"finding\":\"verified\",\"through\":" << verification.verifiedThrough
            << ",\"records\":" << verification.sealedRecords << ",\"time\":"
            << QString::fromUtf8(jsonString(verification.verifiedTime.isValid()
                                                ? verification.verifiedTime.toString(Qt::ISODate)
                                                : QString()))
            << "}\n";
    } else {
        out << verification.verifiedLine() << '\n';
    }
    for (const SealFinding &finding : verification.findings)
        out << (options.json ? QString::fromUtf8(finding.json()) : finding.text()) << '\n';
    out.flush();
    return verification.status == SealVerification::Verified ? AllAnswered : SomeDidNotAnswer;
}

} // namespace SealCommands
