#pragma once

#include <QString>

// After each of the console's jobs, when its folder names a shared journal (journal.conf beside
// display.cfg), `display-send --forward` takes the journal's new records there. It runs as a
// process of its own, detached: the window never waits on the network, and a forward the window
// outlives still finishes.
class JournalForwarder {
public:
    explicit JournalForwarder(QString configPath);

    // Starts a forward when the folder has a journal.conf; true when one was started.
    bool jobEnded() const;

    // display-send beside the console (installed), on the PATH, or in the build tree's send/.
    static QString sendProgram();

private:
    QString m_configPath;
};
