// Feeds arbitrary text to the sources.conf reader. Besides crashes and sanitizer reports, it
// checks that every section it takes names a source, and that the sections it takes without a
// problem are written back and read again unchanged.

#include "sources.h"

#include <cstdlib>

namespace {

const QString Path = QStringLiteral("/fuzz/sources.conf");

QString quotedValue(const QString &value) {
    return u'"' + value + u'"';
}

QString ageText(std::chrono::seconds age) {
    const qint64 s = age.count();
    if (s % 86400 == 0)
        return QString::number(s / 86400) + u'd';
    if (s % 3600 == 0)
        return QString::number(s / 3600) + u'h';
    if (s % 60 == 0)
        return QString::number(s / 60) + u'm';
    return QString::number(s) + u's';
}

QString written(const SourceSection &section) {
    QString text =
        QStringLiteral("[%1]\n%2 = %3\nmax-age = %4\n")
            .arg(section.name, section.kind, quotedValue(section.target), ageText(section.maxAge));
    for (auto it = section.options.cbegin(); it != section.options.cend(); ++it)
        text += QStringLiteral("%1 = %2\n").arg(it.key(), quotedValue(it.value()));
    return text;
}

bool sameSection(const SourceSection &a, const SourceSection &b) {
    return a.name == b.name && a.kind == b.kind && a.target == b.target && a.options == b.options &&
           a.maxAge == b.maxAge && b.problem.isEmpty();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const SourcesConfig config = SourcesFile::parse(text, Path);

    QList<SourceSection> good;
    QString again;
    for (const SourceSection &section : config.sections) {
        if (section.problem.isEmpty() && (section.kind.isEmpty() || section.target.isEmpty()))
            std::abort(); // a section taken as good names a source
        if (section.problem.isEmpty()) {
            good << section;
            again += written(section);
        }
    }
    const SourcesConfig reread = SourcesFile::parse(again, Path);
    if (!reread.problems.isEmpty() || reread.sections.size() != good.size())
        std::abort();
    for (qsizetype i = 0; i < good.size(); ++i) {
        if (!sameSection(good.at(i), reread.sections.at(i)))
            std::abort();
    }
    return 0;
}
