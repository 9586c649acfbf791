#pragma once

#include <QStringList>

#include <optional>

// The two operator settings: the serial port and the page delay. Each is a list of choices with
// a selected position, -1 when no entry is selected.
namespace Settings {

constexpr int PortCount = 250;
constexpr int DefaultPortPosition = 0;
constexpr int DelayMinSeconds = 2;
constexpr int DelayMaxSeconds = 20;
constexpr int DefaultDelayPosition = 3;

QStringList portEntries();  // "COM 1" .. "COM 250"
QStringList delayEntries(); // "2" .. "20"

constexpr int portNumberForPosition(int position) {
    return position + 1;
}
constexpr int delaySecondsForPosition(int position) {
    return position + 2;
}

// The port list position that shows portNumber: -1 (no selection) for 0, nothing for a number
// the list cannot show.
std::optional<int> portPositionForNumber(int portNumber);

} // namespace Settings
