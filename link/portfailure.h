#pragma once

#include "porttarget.h"

#include <QSerialPort>
#include <QString>

// The operator's words for why a port could not be opened: what to do about it first, the
// platform's own words after. Kept apart from BoardLink so each case can be shown in a table test
// (some, like a refused permission, cannot be produced on demand).
QString openFailureText(const PortTarget &port, QSerialPort::SerialPortError error,
                        const QString &platformText);
