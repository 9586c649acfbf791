#pragma once

// What display-board-sim's command line asks for (SimulatorApp::parse() reads it).

#include "boardbank.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include <array>
#include <optional>

// --tcp [HOST:]PORT: where the boards listen as a device server. The host defaults to the
// loopback address: a listener that other machines reach must be asked for by address.
struct TcpListen {
    QHostAddress host = QHostAddress(QHostAddress::LocalHost);
    quint16 port = 0; // 0: any free port
};

// What the command line asks of the boards. Default-constructed: the command line without
// options.
struct SimulatorOptions {
    static constexpr int MaxDelayMs = 60000; // for --reply-delay and --late-delay

    // How each address 0 to BoardAddress::Highest answers (--silent, --wrong, --late).
    std::array<BoardBehaviour, BoardAddress::Count> behaviour = allPresent();
    int replyDelayMs = 20;         // --reply-delay
    int lateDelayMs = 700;         // --late-delay
    QByteArray replyTail = " OK";  // --reply-tail, as Latin-1
    bool cycle = false;            // --cycle
    bool once = false;             // --once
    bool plain = false;            // --plain
    std::optional<QString> config; // --config: the display.cfg to point at these boards
    std::optional<TcpListen> tcp;  // --tcp: a TCP port instead of a pseudo-terminal
    // --modbus-tcp: a simulated analyser beside the boards
    std::optional<TcpListen> modbusTcp;

    static std::array<BoardBehaviour, BoardAddress::Count> allPresent() {
        std::array<BoardBehaviour, BoardAddress::Count> all;
        all.fill(BoardBehaviour::Present);
        return all;
    }
};

// Why a command line leads to no run.
struct SimulatorExit {
    enum class Kind {
        Builtin, // --help, --help-all or --version: Qt's parser prints the text, status 0
        Error,   // text: what is wrong, for standard error after the program's name
    };

    Kind kind = Kind::Error;
    QString text;
    // 1: Qt's parser refused the command line (unknown option, missing value); 2: a value the
    // boards cannot take, an argument that is no option.
    int status = 0;
};
