#pragma once

#include "sendoptions.h"

#include <QCommandLineOption>
#include <QStringList>

#include <functional>
#include <span>
#include <variant>

// Where an option goes: in one of modes, or whenever orWith is given too, and never beside
// notWith (long names). words name those modes in the refusal ("--delay goes only with an
// upload"); an option without words goes with any mode.
struct OptionScope {
    const char *words = nullptr;
    QList<SendOptions::Mode> modes = {};
    const char *orWith = nullptr;
    const char *notWith = nullptr;
};

// An option as the command line gave it: its long name, its values in order (one, unless it
// repeats; none for a switch) and the word of its own that follows it, if it takes one.
struct GivenOption {
    QString name;
    QStringList values;
    QString word;

    const QString &value() const { return values.constFirst(); }
};

// One option of display-send. The command line is read, checked and explained from these rows
// alone: --help lists them in their order, an option that asks for a mode is one of the modes to
// choose from, any other is refused outside its scope, and read sets what the option says once
// the mode is known.
struct SendOptionRow {
    using Reader = std::function<void(SendOptions &options, const GivenOption &given)>;

    // As --help shows it: "-h, --help", "--port <n>"; "<file>..." may be given more than once,
    // and "--shared-add-site <LOGIN> SITE" takes a word of its own after its value.
    const char *form;
    std::variant<OptionScope, SendOptions::Mode> place; // where it goes, or the mode it asks for
    QString help;                                       // none: left out of --help
    Reader read = {};                                   // none: being given is all it says

    QString name() const; // the long one
    QString word() const;
    bool repeats() const;
    QCommandLineOption option() const;
};

// Every option, in the order --help lists them.
std::span<const SendOptionRow> sendOptionRows();
