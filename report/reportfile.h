#pragma once

#include <QByteArray>
#include <QString>

// Where a report is saved. A path given by mistake may be the journal in use, display.cfg, a link
// or a FIFO: a report goes only to a new file or in place of an earlier report, a regular file
// (not a link) whose head names display-send as its generator, or that bears the report's title
// (reports made before they named their generator), so a daily job may keep one name.
namespace ReportFile {

// The head of every report names its generator as GeneratorPrefix followed by the version.
inline constexpr char GeneratorPrefix[] = "<meta name=\"generator\" content=\"display-send";
inline constexpr char TitlePrefix[] = "<title>Display boards: report of ";

// Whether the first bytes of a file are those of a report.
bool isReport(const QByteArray &head);

// Saves html whole at path, or nothing at all. Throws Failure naming the path and the reason when
// anything but a report is there, or something takes its place while the report is written.
void write(const QString &path, const QByteArray &html);

} // namespace ReportFile
