#pragma once

// A Modbus TCP gateway on 127.0.0.1 with one analyser behind it that answers: unit 1 answers
// reads of input and holding registers, each register holding its own number in its table
// (30005 and 40005 hold 5); every other unit's request goes unanswered, as a gateway's does
// when the device at that unit is switched off or unplugged from its serial side.

#include <QTcpServer>
#include <QTcpSocket>

class ModbusGateway : public QTcpServer {
public:
    static constexpr int LiveUnit = 1;

    explicit ModbusGateway(QObject *parent = nullptr)
        : QTcpServer(parent) {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *const socket = nextPendingConnection())
                connect(socket, &QTcpSocket::readyRead, socket, [socket] { answer(socket); });
        });
        listen(QHostAddress::LocalHost);
    }

private:
    // A read is 12 bytes: transaction (2), protocol (2), length (2), unit, function, first
    // register (2) and count (2), each big-endian.
    static constexpr int ReadSize = 12;

    static void answer(QTcpSocket *socket) {
        while (socket->bytesAvailable() >= ReadSize) {
            const QByteArray read = socket->read(ReadSize);
            const auto word = [&read](int at) {
                return int(quint8(read.at(at))) << 8 | int(quint8(read.at(at + 1)));
            };
            const int unit = quint8(read.at(6));
            const int first = word(8);
            const int count = word(10);
            if (unit != LiveUnit || count < 1 || count > 125)
                continue;
            QByteArray reply = read.first(4);
            const int length = 3 + 2 * count; // unit, function, byte count, the registers
            reply += char(length >> 8);
            reply += char(length & 0xff);
            reply += read.mid(6, 2);
            reply += char(2 * count);
            for (int number = first + 1; number <= first + count; ++number) {
                reply += char(number >> 8);
                reply += char(number & 0xff);
            }
            socket->write(reply);
        }
    }
};
