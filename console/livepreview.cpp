#include "livepreview.h"

#include "boardview.h"
#include "previewwindow.h"
#include "rowbox.h"

#include <QEvent>
#include <QLabel>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>

namespace {

QDateTime now() {
    return QDateTime::currentDateTime();
}

bool isTemplate(const QString &row) {
    return row.contains(QLatin1Char('{')) || row.contains(QLatin1Char('}'));
}

} // namespace

LivePreview::LivePreview(QTabWidget *tabs, const std::array<RowBox *, PageSet::RowCount> &rows,
                         BoardView *view, QLabel *readLine, FigureWatch *watch, QWidget *window)
    : QObject(window)
    , m_tabs(tabs)
    , m_rows(rows)
    , m_view(view)
    , m_readLine(readLine)
    , m_watch(watch)
    , m_window(window)
    , m_previewUpdate(new QTimer(this)) {
    m_watch->setParent(this);
    connect(m_watch, &FigureWatch::figuresRead, this, [this](const FigureRead &figures) {
        setFigures(figures);
        Q_EMIT figuresRead(figures);
    });
    // The preview fills all six pages: once after a burst of keystrokes, not at each.
    m_previewUpdate->setSingleShot(true);
    m_previewUpdate->setInterval(100);
    connect(m_previewUpdate, &QTimer::timeout, this, &LivePreview::showPreview);

    for (RowBox *row : m_rows) {
        row->installEventFilter(this);
        connect(row, &QLineEdit::textChanged, this, [this] {
            showPage();
            if (m_preview)
                m_previewUpdate->start();
        });
    }
    connect(m_tabs, &QTabWidget::currentChanged, this, [this] {
        rememberOtherPages();
        showPage();
    });
    connect(m_view, &BoardView::activated, this, &LivePreview::openPreview);
    auto *shortcut = new QShortcut(PreviewKeys, m_window);
    connect(shortcut, &QShortcut::activated, this, &LivePreview::openPreview);
    const QString keys = PreviewKeys.toString(QKeySequence::NativeText);
    m_view->setToolTip(
        QStringLiteral("The page shown, as the boards will show it. Click or press %1 for every "
                       "page and the figures.")
            .arg(keys));
    m_view->setAccessibleName(QStringLiteral("Board preview (%1)").arg(keys));
    m_readLine->setWordWrap(true);
    setFigures({});
}

void LivePreview::setFigures(const FigureRead &figures) {
    m_figures = figures;
    rememberOtherPages();
    showPage();
    showPreview();

    QString line = figures.said();
    const FilledRows fill(rowTexts(0, PageSet::RowCount), figures.values, now());
    if (figures.status == FigureRead::Status::Read) {
        const qsizetype unavailable = fill.unavailable().size();
        line = unavailable == 0
                   ? QStringLiteral("%1; all available").arg(line)
                   : QStringLiteral("%1; %2 unavailable").arg(line, QString::number(unavailable));
    } else if (figures.status == FigureRead::Status::NoFigures && !fill.firstUnfilled()) {
        line.clear(); // a folder whose rows hold no field does without figures
    }
    m_readLine->setText(line);
    m_readLine->setToolTip(line);
}

void LivePreview::setWatching(bool on) {
    m_watch->setWatching(on);
    // From the event loop, once the window is up: start-up never waits for a source.
    if (on)
        QTimer::singleShot(0, m_watch, &FigureWatch::read);
}

void LivePreview::openPreview() {
    if (!m_preview) {
        m_preview = new PreviewWindow(m_window);
        showPreview();
    }
    m_preview->show();
    m_preview->raise();
    m_preview->activateWindow();
}

QStringList LivePreview::rowTexts(int first, int count) const {
    QStringList texts;
    for (int index = first; index < first + count; ++index)
        texts << m_rows.at(index)->text();
    return texts;
}

QList<RowSketch> LivePreview::sketch(const QStringList &rows, const FilledRows &fill) const {
    const auto unfilled = [&rows](CellState state, const QString &why) {
        QList<RowSketch> sketches;
        for (const QString &row : rows)
            sketches << unfilledSketch(row, state, why);
        return sketches;
    };
    switch (m_figures.status) {
    case FigureRead::Status::NotRead:
        return unfilled(CellState::Unavailable, QStringLiteral("the figures are not read yet"));
    case FigureRead::Status::NoFigures:
        return unfilled(CellState::Unavailable,
                        QStringLiteral("this folder has no sources.conf or values.json to fill "
                                       "it from; SEND asks before it sends the braces"));
    case FigureRead::Status::Failed:
        return unfilled(CellState::Error, m_figures.failure);
    case FigureRead::Status::Read:
        break;
    }
    return fill.rows();
}

void LivePreview::rememberOtherPages() {
    QStringList others = rowTexts(0, PageSet::RowCount);
    others.remove(PageSet::indexOf(m_tabs->currentIndex(), 0), PageSet::RowsPerPage);
    m_afterOtherPages = FilledRows(others, m_figures.values, now()).values();
}

void LivePreview::showPage() {
    const QStringList rows =
        rowTexts(PageSet::indexOf(m_tabs->currentIndex(), 0), PageSet::RowsPerPage);
    m_view->setRows(sketch(rows, FilledRows(rows, m_afterOtherPages, now())));
}

void LivePreview::showPreview() {
    if (!m_preview)
        return;
    const QStringList rows = rowTexts(0, PageSet::RowCount);
    const FilledRows fill(rows, m_figures.values, now());
    m_preview->showPages(sketch(rows, fill));
    m_preview->showFigures(m_figures.status == FigureRead::Status::Read
                               ? fill.values().listedLines()
                               : QList<FieldValues::Line>(),
                           m_figures.said());
}

// A row's tooltip is filled when it is asked for, from every row as they stand: a value another
// row refuses shows missing here too.
QString LivePreview::toolTipFor(int index) const {
    const QString row = m_rows.at(index)->text();
    QString said;
    if (row.size() > PageSet::MaxTypedLength)
        said = QStringLiteral("%1 characters: the boards get them all, the pictures show the "
                              "first %2")
                   .arg(QString::number(row.size()), QString::number(PageSet::MaxTypedLength));
    if (!isTemplate(row))
        return said;
    const QStringList rows = rowTexts(0, PageSet::RowCount);
    const RowSketch filled = sketch(rows, FilledRows(rows, m_figures.values, now())).at(index);
    const bool read = m_figures.status == FigureRead::Status::Read;
    if (!read && filled.problem.isEmpty())
        return said;
    const QString line = filled.problem.isEmpty() ? filled.text
                         : read || m_figures.status == FigureRead::Status::Failed
                             ? QStringLiteral("Cannot be filled: %1").arg(filled.problem)
                             : QStringLiteral("Not filled: %1").arg(filled.problem);
    return said.isEmpty() ? line : said + u'\n' + line;
}

bool LivePreview::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::ToolTip) {
        const auto found = std::find(m_rows.begin(), m_rows.end(), watched);
        if (found != m_rows.end())
            (*found)->setToolTip(toolTipFor(int(found - m_rows.begin())));
    }
    return QObject::eventFilter(watched, event);
}
