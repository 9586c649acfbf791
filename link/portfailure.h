#pragma once

#include <QSerialPort>
#include <QString>

// The operator's words for why a port could not be opened: what to do about it first, the
// platform's own words after. Kept apart from BoardLink so each case can be shown in a table test
// (some, like a refused permission, cannot be produced on demand).

// "/dev/ttyUSB0 (COM 33)", or "COM 97" when no device maps to the number.
QString portLabel(int portNumber);

QString openFailureText(int portNumber, QSerialPort::SerialPortError error,
                        const QString &platformText);
