#include "livepreview.h"

#include "boardview.h"
#include "previewwindow.h"
#include "rowbox.h"

#include <QEvent>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>

namespace {

QDateTime now() {
    return QDateTime::currentDateTime();
}

bool isTemplate(const QString &row) {
    return row.contains(QLatin1Char('{')) || row.contains(QLatin1Char('}'));
}

} // namespace

LivePreview::LivePreview(QTabWidget *tabs, const std::array<RowBox *, PageSet::RowCount> &rows,
                         BoardView *view, QWidget *window)
    : QObject(window)
    , m_tabs(tabs)
    , m_rows(rows)
    , m_view(view)
    , m_window(window)
    , m_readTimer(new QTimer(this))
    , m_previewUpdate(new QTimer(this)) {
    m_readTimer->setObjectName(QStringLiteral("tmrFigures"));
    m_readTimer->setInterval(ReadInterval);
    connect(m_readTimer, &QTimer::timeout, this, [this] { readFigures(); });
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
    rememberOtherPages();
    showPage();
}

void LivePreview::setFigures(const FieldValues &values, const QDateTime &readAt) {
    m_reading = false;
    m_figures = values;
    m_readAt = readAt;
    rememberOtherPages();
    showPage();
    showPreview();
}

bool LivePreview::readFigures() {
    if (m_reading)
        return false;
    m_reading = true;
    Q_EMIT figuresWanted();
    return true;
}

void LivePreview::openPreview() {
    if (!m_preview) {
        m_preview = new PreviewWindow(m_window);
        connect(m_preview, &QObject::destroyed, m_readTimer, &QTimer::stop);
        showPreview();
        m_readTimer->start();
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

void LivePreview::rememberOtherPages() {
    m_afterOtherPages = m_figures;
    const int first = m_tabs->currentIndex() * PageSet::RowsPerPage;
    QStringList others = rowTexts(0, PageSet::RowCount);
    others.remove(first, PageSet::RowsPerPage);
    sketchRows(others, m_afterOtherPages, now());
}

void LivePreview::showPage() {
    FieldValues values = m_afterOtherPages;
    m_view->setRows(
        sketchRows(rowTexts(m_tabs->currentIndex() * PageSet::RowsPerPage, PageSet::RowsPerPage),
                   values, now()));
}

void LivePreview::showPreview() {
    if (!m_preview)
        return;
    FieldValues values = m_figures;
    m_preview->showPages(sketchRows(rowTexts(0, PageSet::RowCount), values, now()));
    m_preview->showFigures(values, m_readAt);
}

// A row's tooltip is filled when it is asked for, from every row as they stand: a value another
// row refuses shows missing here too.
QString LivePreview::toolTipFor(int index) const {
    const QString row = m_rows.at(index)->text();
    if (!isTemplate(row) || !m_figures.given())
        return {};
    FieldValues values = m_figures;
    const RowSketch sketch = sketchRows(rowTexts(0, PageSet::RowCount), values, now()).at(index);
    return sketch.problem.isEmpty() ? sketch.text
                                    : QStringLiteral("Cannot be filled: %1").arg(sketch.problem);
}

bool LivePreview::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::ToolTip) {
        const auto found = std::find(m_rows.begin(), m_rows.end(), watched);
        if (found != m_rows.end())
            (*found)->setToolTip(toolTipFor(int(found - m_rows.begin())));
    }
    return QObject::eventFilter(watched, event);
}
