#pragma once

#include <QString>
#include <QTextStream>

#include <functional>

class Journal;
struct SendOptions;

// --seal-init, --seal-advance and --verify: the journal's seals begun, carried forward and
// checked. Each returns the exit status.
namespace SealCommands {

using Error = std::function<void(const QString &)>;

int init(Journal &journal, const SendOptions &options, QTextStream &out, const Error &error);
int advance(Journal &journal, const Error &error);
int verify(const QString &journalPath, const SendOptions &options, QTextStream &out,
           const Error &error);

} // namespace SealCommands
