#pragma once

#include "fieldvalues.h"

#include <QTextStream>

struct UploadRequest;

// What display-send lists without opening a port: the values the rows would be filled with
// (--show-values), one line or JSON object each, and the upload's frames (--dry-run).
class SendListing {
public:
    // The figures as a fill of the rows leaves them (FilledRows::values().listedLines()).
    static void values(const QList<FieldValues::Line> &lines, bool json, QTextStream &out);
    static void frames(const UploadRequest &request, QTextStream &out);
};
