#pragma once

#include <QFile>
#include <QRandomGenerator>
#include <QString>
#include <QTest>

// Files in the states the programs must cope with, written and read straight on disk.

inline QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The same bytes for the same seed, so that a failure can be run again.
inline QByteArray randomBytes(quint32 seed, int size) {
    QRandomGenerator generator(seed);
    QByteArray bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

inline bool writeBytes(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The bytes a whole upload of the default pages at a 5 s delay puts on the line, kept as a file
// written from the page texts independently of the code; empty when it cannot be read.
inline QByteArray goldenUpload() {
    QFile golden(QFINDTESTDATA("data/default-upload-delay5.bin"));
    return golden.open(QIODevice::ReadOnly) ? golden.readAll() : QByteArray();
}
