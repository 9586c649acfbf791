#pragma once

#include <QTextStream>

class FieldValues;
struct UploadRequest;

// What display-send lists without opening a port: the values the rows would be filled with
// (--show-values), one line or JSON object each, and the upload's frames (--dry-run).
class SendListing {
public:
    static void values(const FieldValues &values, bool json, QTextStream &out);
    static void frames(const UploadRequest &request, QTextStream &out);
};
