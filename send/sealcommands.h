#pragma once

#include <QString>
#include <QTextStream>

#include <functional>

class Journal;
struct SealVerification;
struct SendOptions;

// --seal-init, --seal-advance and --verify: the journal's seals begun, carried forward and
// checked. Each returns the exit status.
namespace SealCommands {

using Error = std::function<void(const QString &)>;

int init(Journal &journal, const SendOptions &options, QTextStream &out, const Error &error);
int advance(Journal &journal, const Error &error);
int verify(const QString &journalPath, const SendOptions &options, QTextStream &out,
           const Error &error);
// A verification as --verify prints it (of the local journal, or of a site's copy in the shared
// journal), one line a finding; its exit status.
int print(const SealVerification &verification, const SendOptions &options, QTextStream &out,
          const Error &error);

} // namespace SealCommands
