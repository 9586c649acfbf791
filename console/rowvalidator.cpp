#include "rowvalidator.h"

#include "pageset.h"

#include <algorithm>
#include <iterator>

QValidator::State RowValidator::validate(QString &input, int &pos) const {
    if (input == m_accepted)
        return Acceptable;

    // The edit replaced the middle of the old text: old = prefix + removed + suffix and
    // input = prefix + inserted + suffix. Only the inserted part is filtered and cut.
    const QString &old = m_accepted;
    const qsizetype shorter = qMin(old.size(), input.size());
    qsizetype prefix = 0;
    while (prefix < shorter && old.at(prefix) == input.at(prefix))
        ++prefix;
    // The caret stands after what was inserted; prefer that reading when the text repeats.
    prefix = qMin(prefix, qMax<qsizetype>(0, qMin<qsizetype>(pos, shorter)));
    qsizetype suffix = 0;
    while (suffix < shorter - prefix &&
           old.at(old.size() - 1 - suffix) == input.at(input.size() - 1 - suffix))
        ++suffix;

    const auto isTypeable = [](QChar c) { return PageSet::isRowCharacter(c.unicode()); };
    const QStringView typed = QStringView(input).mid(prefix, input.size() - prefix - suffix);
    QString inserted;
    std::copy_if(typed.begin(), typed.end(), std::back_inserter(inserted), isTypeable);
    // The insertion may fill what is left of the text around it up to the limit, no further: a
    // longer text placed by the program never grows, whatever part of it the edit replaces.
    inserted.truncate(qMax<qsizetype>(0, PageSet::MaxTypedLength - prefix - suffix));

    input = input.left(prefix) + inserted + input.right(suffix);
    pos = int(prefix + inserted.size());
    m_accepted = input;
    return Acceptable;
}
